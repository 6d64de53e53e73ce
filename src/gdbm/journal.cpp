// SPDX-License-Identifier: GPL-3.0-or-later
#include "gdbm/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/util.h"

namespace vorn {

namespace {

// Layout: the magic, the number of entries, then per entry the key, a flag
// byte (bit 0: a before-image follows, bit 1: an after-image follows) and
// the images, each text as a 32-bit length and its bytes; last, the 64-bit
// FNV-1a checksum of everything before it. Integers in the machine's own
// byte order: a journal is only ever read back on the host that wrote it.
constexpr char kMagic[4] = {'V', 'C', 'J', '1'};
constexpr char kSuffix[] = "-journal";
constexpr unsigned char kHasBefore = 1;
constexpr unsigned char kHasAfter = 2;

std::uint64_t _journal_checksum(const char* data, std::size_t size) {
    std::uint64_t h = 14695981039346656037ull;
    for (std::size_t i = 0; i < size; ++i) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 1099511628211ull;
    }
    return h;
}

template <typename T>
void _journal_put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void _journal_puttext(std::string& out, const std::string& text) {
    _journal_put(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

// Reads from the front of what is left; false when too little is left.
class Reader {
public:
    Reader(const std::string& bytes, std::size_t end) : bytes_(bytes), end_(end) {}
    template <typename T>
    bool get(T& value) {
        if (end_ - pos_ < sizeof value) return false;
        std::memcpy(&value, bytes_.data() + pos_, sizeof value);
        pos_ += sizeof value;
        return true;
    }
    bool text(std::string& out) {
        std::uint32_t size = 0;
        if (!get(size) || end_ - pos_ < size) return false;
        out.assign(bytes_, pos_, size);
        pos_ += size;
        return true;
    }
    bool done() const { return pos_ == end_; }

private:
    const std::string& bytes_;
    std::size_t end_;
    std::size_t pos_ = 0;
};

// Empties the journal file open on `fd`: 0 or the errno of the failure.
int _journal_truncate(int fd) {
    while (ftruncate(fd, 0) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

std::string _journal_encode(const Journal& journal) {
    std::string out(kMagic, sizeof kMagic);
    _journal_put(out, static_cast<std::uint32_t>(journal.size()));
    for (const JournalEntry& e : journal) {
        _journal_puttext(out, e.key);
        const unsigned char flags = (e.before ? kHasBefore : 0) | (e.after ? kHasAfter : 0);
        _journal_put(out, flags);
        if (e.before) _journal_puttext(out, *e.before);
        if (e.after) _journal_puttext(out, *e.after);
    }
    _journal_put(out, _journal_checksum(out.data(), out.size()));
    return out;
}

JournalState _journal_decode(const std::string& bytes, Journal& journal) {
    journal.clear();
    std::uint64_t sum = 0;
    if (bytes.size() < sizeof kMagic + sizeof(std::uint32_t) + sizeof sum) return JournalState::kIncomplete;
    const std::size_t body = bytes.size() - sizeof sum;
    std::memcpy(&sum, bytes.data() + body, sizeof sum);
    if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 || sum != _journal_checksum(bytes.data(), body)) {
        return JournalState::kIncomplete;
    }
    Reader in(bytes, body);
    char magic[sizeof kMagic];
    std::uint32_t count = 0;
    if (!in.get(magic) || !in.get(count)) return JournalState::kIncomplete;
    for (std::uint32_t i = 0; i < count; ++i) {
        JournalEntry e;
        unsigned char flags = 0;
        if (!in.text(e.key) || !in.get(flags)) return JournalState::kIncomplete;
        std::string text;
        if (flags & kHasBefore) {
            if (!in.text(text)) return JournalState::kIncomplete;
            e.before = text;
        }
        if (flags & kHasAfter) {
            if (!in.text(text)) return JournalState::kIncomplete;
            e.after = text;
        }
        journal.push_back(std::move(e));
    }
    return in.done() ? JournalState::kComplete : JournalState::kIncomplete;
}

}  // namespace

std::string journal_path(const std::string& dbfile) { return dbfile + kSuffix; }

JournalFile journal_write(const std::string& dbfile, const Journal& journal, uid_t owner_uid, gid_t owner_gid) {
    JournalFile out;
    const std::string path = journal_path(dbfile);
    const std::string bytes = _journal_encode(journal);
    constexpr int kFlags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    // The empty journal a visit leaves is used again; it is made anew only
    // when missing, and a new file is given to the counter file's owner at
    // once, on the descriptor, before anything is in it.
    UniqueFd fd(::open(path.c_str(), kFlags));
    if (!fd && errno == ENOENT) {
        fd.reset(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644));
        if (fd && geteuid() == 0 && fchown(fd.get(), owner_uid, owner_gid) != 0) {
            out.error = errno;
            ::unlink(path.c_str());
            return out;
        }
        if (!fd && errno == EEXIST) fd.reset(::open(path.c_str(), kFlags));  // made meanwhile by another
    }
    if (!fd) {
        out.error = errno;
        return out;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        out.error = errno;
        return out;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        out.error = S_ISREG(st.st_mode) ? EMLINK : EINVAL;
        return out;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            out.error = n < 0 ? errno : EIO;
            _journal_truncate(fd.get());
            return out;
        }
        done += static_cast<std::size_t>(n);
    }
    // What an earlier, longer journal left beyond this one goes too.
    if (static_cast<std::size_t>(st.st_size) > bytes.size() &&
        ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0) {
        out.error = errno;
        _journal_truncate(fd.get());
        return out;
    }
    out.fd = std::move(fd);
    return out;
}

JournalState journal_read(const std::string& dbfile, Journal& journal) {
    journal.clear();
    UniqueFd fd(::open(journal_path(dbfile).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return JournalState::kNone;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return JournalState::kNone;
    if (static_cast<std::size_t>(st.st_size) > kMaxJournal) return JournalState::kIncomplete;
    std::string bytes;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return JournalState::kNone;
        if (n == 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxJournal) return JournalState::kIncomplete;
    }
    if (bytes.empty()) return JournalState::kNone;
    return _journal_decode(bytes, journal);
}

int journal_clear(const std::string& dbfile, UniqueFd fd) {
    if (!fd) fd.reset(::open(journal_path(dbfile).c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (fd && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && _journal_truncate(fd.get()) == 0) return 0;
    // A journal this process may not write (left by another user) is
    // removed instead, where the directory allows it.
    return journal_remove(dbfile);
}

int journal_remove(const std::string& dbfile) {
    if (::unlink(journal_path(dbfile).c_str()) == 0 || errno == ENOENT) return 0;
    return errno;
}

}  // namespace vorn
