// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/filecache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace vorn {

namespace {

// The coarsest times a file system of a site may keep (FAT keeps two
// seconds; ext4 and tmpfs a clock tick).
constexpr long kTimeResolutionSeconds = 2;

}  // namespace

std::optional<FileRead> filecache_read(const std::string& path, std::size_t limit) {
    FileRead read;
    UniqueFd fd = util_openfile(path, &read.st);
    if (!fd) return std::nullopt;
    if (S_ISREG(read.st.st_mode)) read.bytes.reserve(std::min(static_cast<std::size_t>(read.st.st_size), limit + 1));
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            read.error = errno;
            break;
        }
        if (n == 0) break;
        read.bytes.append(buf, static_cast<std::size_t>(n));
        if (read.bytes.size() > limit) {
            read.error = EFBIG;
            break;
        }
    }
    return read;
}

bool filecache_samefile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool filecache_racy(const struct stat& st) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const long newest = std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec);
    return now.tv_sec - newest < kTimeResolutionSeconds;
}

}  // namespace vorn
