#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "util.h"

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

}  // namespace

std::string journal_path(const std::string& dbfile) { return dbfile + kSuffix; }

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

int journal_write(const std::string& dbfile, const Journal& journal) {
    const std::string path = journal_path(dbfile);
    const std::string bytes = _journal_encode(journal);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd) return errno;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::unlink(path.c_str());
            return error;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd.release()) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        return error;
    }
    return 0;
}

JournalState journal_read(const std::string& dbfile, Journal& journal) {
    journal.clear();
    UniqueFd fd(::open(journal_path(dbfile).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) return JournalState::kNone;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return JournalState::kNone;
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
    return _journal_decode(bytes, journal);
}

int journal_remove(const std::string& dbfile) {
    if (::unlink(journal_path(dbfile).c_str()) == 0 || errno == ENOENT) return 0;
    return errno;
}

}  // namespace vorn
