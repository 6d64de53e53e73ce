// SPDX-License-Identifier: GPL-3.0-or-later
#include "metrics/metricsfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/util.h"

namespace vorn {

namespace {

constexpr char kMagic[8] = {'V', 'O', 'R', 'N', 'M', 'E', 'T', 'R'};

struct Header {
    char magic[8];
    std::uint32_t layout;
    std::uint32_t zero;
    std::uint64_t slots;
    std::int64_t created;
    std::uint64_t check;  // of the 32 bytes before it
    char pad[24];
};
static_assert(sizeof(Header) == 64);
constexpr std::size_t kCheckedBytes = offsetof(Header, check);

// FNV-1a of the header's fields: a header written whole and not changed
// since passes; any other almost never does.
std::uint64_t _metricsfile_check(const Header& h) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&h);
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::size_t i = 0; i < kCheckedBytes; ++i) hash = (hash ^ p[i]) * 1099511628211ULL;
    return hash;
}

Header _metricsfile_header(const MetricsLayout& layout, std::time_t created) {
    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.layout = layout.id;
    h.slots = layout.slots;
    h.created = created;
    h.check = _metricsfile_check(h);
    return h;
}

// What the file of `size` bytes, beginning with the `got` bytes of `h`, is.
MetricsState _metricsfile_classify(const Header& h, std::size_t got, std::size_t size, const MetricsLayout& layout) {
    if (got < sizeof kMagic) return MetricsState::kSize;
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) return MetricsState::kForeign;
    if (got < sizeof(Header)) return MetricsState::kSize;
    if (h.check != _metricsfile_check(h)) return MetricsState::kDamaged;
    if (h.layout != layout.id || h.slots != layout.slots) return MetricsState::kLayout;
    if (size != metricsfile_size(layout)) return MetricsState::kSize;
    return MetricsState::kOpen;
}

// The state of the open file `fd` (`st`), and its header in `h`.
MetricsState _metricsfile_inspect(int fd, const struct stat& st, const MetricsLayout& layout, Header& h) {
    if (!S_ISREG(st.st_mode)) return MetricsState::kUnusable;
    h = Header{};
    const ssize_t got = ::pread(fd, &h, sizeof h, 0);
    if (got < 0) return MetricsState::kUnusable;
    return _metricsfile_classify(h, static_cast<std::size_t>(got), static_cast<std::size_t>(st.st_size), layout);
}

MetricsOpened _metricsfile_map(int fd, const struct stat& st, const Header& h, bool writable) {
    const std::size_t bytes = static_cast<std::size_t>(st.st_size);
    void* base = ::mmap(nullptr, bytes, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return {MetricsFile(), MetricsState::kUnusable, errno};
    return {MetricsFile(base, bytes, h.slots, static_cast<std::time_t>(h.created), st, writable), MetricsState::kOpen,
            0};
}

// Makes a new file of `layout` beside `path` and puts it in its place:
// over the file there (`replace`), or only where there is none (then a
// file another process made meanwhile stays, and the outcome is kMissing
// with EEXIST). The new file is whole before it takes the place.
MetricsOpened _metricsfile_make(const std::string& path, const MetricsLayout& layout, bool replace) {
    std::vector<char> temp(path.begin(), path.end());
    for (char c : std::string(".XXXXXX")) temp.push_back(c);
    temp.push_back('\0');
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return {MetricsFile(), MetricsState::kMissing, errno};
    const std::size_t size = metricsfile_size(layout);
    const Header h = _metricsfile_header(layout, std::time(nullptr));
    int error = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size));
    if (error == 0 && ::pwrite(fd.get(), &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) error = errno ? errno : EIO;
    if (error == 0) {
        if (replace) {
            if (::rename(temp.data(), path.c_str()) != 0) error = errno;
        } else {
            if (::link(temp.data(), path.c_str()) != 0) error = errno;
            ::unlink(temp.data());
            if (error != 0) return {MetricsFile(), MetricsState::kMissing, error};
        }
    }
    if (error != 0) {
        ::unlink(temp.data());
        return {MetricsFile(), MetricsState::kMissing, error};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return {MetricsFile(), MetricsState::kUnusable, errno};
    return _metricsfile_map(fd.get(), st, h, true);
}

}  // namespace

const char* metricsfile_describe(MetricsState state) {
    switch (state) {
        case MetricsState::kOpen: return "a sound metrics file";
        case MetricsState::kMissing: return "missing";
        case MetricsState::kForeign: return "not a metrics file";
        case MetricsState::kLayout: return "a metrics file of another version";
        case MetricsState::kDamaged: return "a metrics file with a damaged header";
        case MetricsState::kSize: return "a metrics file of the wrong size (truncated?)";
        case MetricsState::kUnusable: return "not a regular file, or a symbolic link";
    }
    return "";
}

MetricsFile::MetricsFile(void* base, std::size_t bytes, std::size_t slots, std::time_t created,
                         const struct stat& st, bool writable)
    : base_(base), bytes_(bytes), slots_(slots), created_(created), device_(st.st_dev), inode_(st.st_ino),
      writable_(writable) {}

MetricsFile::MetricsFile(MetricsFile&& other) noexcept { *this = std::move(other); }

MetricsFile& MetricsFile::operator=(MetricsFile&& other) noexcept {
    if (this != &other) {
        if (base_) ::munmap(base_, bytes_);
        base_ = std::exchange(other.base_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        slots_ = std::exchange(other.slots_, 0);
        created_ = other.created_;
        device_ = other.device_;
        inode_ = other.inode_;
        writable_ = other.writable_;
    }
    return *this;
}

MetricsFile::~MetricsFile() {
    if (base_) ::munmap(base_, bytes_);
}

void MetricsFile::add(std::size_t slot, std::uint64_t n) const {
    if (!base_ || !writable_ || slot >= slots_ || n == 0) return;
    std::uint64_t* p = reinterpret_cast<std::uint64_t*>(static_cast<char*>(base_) + sizeof(Header)) + slot;
    std::atomic_ref<std::uint64_t>(*p).fetch_add(n, std::memory_order_relaxed);
}

std::uint64_t MetricsFile::get(std::size_t slot) const {
    if (!base_ || slot >= slots_) return 0;
    std::uint64_t* p = reinterpret_cast<std::uint64_t*>(static_cast<char*>(base_) + sizeof(Header)) + slot;
    return std::atomic_ref<std::uint64_t>(*p).load(std::memory_order_relaxed);
}

std::size_t metricsfile_size(const MetricsLayout& layout) { return sizeof(Header) + layout.slots * sizeof(std::uint64_t); }

MetricsOpened metricsfile_open(const std::string& path, const MetricsLayout& layout) {
    // Twice at most: once more when another process put a file in place
    // between this one's looks.
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd) {
            if (errno != ENOENT) return {MetricsFile(), MetricsState::kUnusable, errno};
            MetricsOpened made = _metricsfile_make(path, layout, false);
            if (made.state == MetricsState::kMissing && made.error == EEXIST) continue;
            return made;
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) return {MetricsFile(), MetricsState::kUnusable, errno};
        Header h{};
        const MetricsState state = _metricsfile_inspect(fd.get(), st, layout, h);
        if (state == MetricsState::kOpen) return _metricsfile_map(fd.get(), st, h, true);
        if (state == MetricsState::kForeign || state == MetricsState::kUnusable) return {MetricsFile(), state, 0};
        // One process replaces the file; the others give up this moment's
        // figures rather than wait.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return {MetricsFile(), state, errno};
        struct stat now {};
        if (::stat(path.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) continue;
        MetricsOpened made = _metricsfile_make(path, layout, true);
        if (made.state != MetricsState::kOpen) made.state = state;
        return made;
    }
    return {MetricsFile(), MetricsState::kMissing, EAGAIN};
}

MetricsOpened metricsfile_read(const std::string& path, const MetricsLayout& layout) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        const bool missing = errno == ENOENT || errno == ENOTDIR;
        return {MetricsFile(), missing ? MetricsState::kMissing : MetricsState::kUnusable, errno};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return {MetricsFile(), MetricsState::kUnusable, errno};
    Header h{};
    const MetricsState state = _metricsfile_inspect(fd.get(), st, layout, h);
    if (state != MetricsState::kOpen) return {MetricsFile(), state, 0};
    return _metricsfile_map(fd.get(), st, h, false);
}

const MetricsFile& MetricsKeep::use(const std::string& path, const MetricsLayout& layout) {
    if (path.empty()) {
        file_ = MetricsFile();
        path_.clear();
        return file_;
    }
    if (file_ && path == path_) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && st.st_dev == file_.device() && st.st_ino == file_.inode() &&
            static_cast<std::size_t>(st.st_size) == file_.bytes()) {
            return file_;
        }
    }
    file_ = MetricsFile();
    path_ = path;
    MetricsOpened opened = metricsfile_open(path, layout);
    if (opened.state == MetricsState::kOpen) file_ = std::move(opened.file);
    return file_;
}

}  // namespace vorn
