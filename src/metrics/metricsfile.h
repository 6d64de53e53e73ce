// SPDX-License-Identifier: GPL-3.0-or-later
// The file of a site's figures (METRICS): 64-bit counters that every worker
// and every CGI run of the site adds to through a shared mapping of the
// file, each add one atomic instruction: no lock and no system call per
// figure, and no figure counted twice.
//
// The file: a header of 64 bytes, then `slots` counters of 8 bytes in the
// machine's order. The header holds the magic "VORNMETR", the layout (a
// number naming the figures and their order), the number of slots, the
// moment the file was made and a check of those fields, so a file of
// another layout or a damaged header is told from a sound one. Such a file,
// or one of the wrong size, is replaced by a new one (made beside it and
// renamed over it, so a process never sees a half-made file); its figures
// are lost, none is counted twice. A file that is not a metrics file at
// all (another magic) is never replaced: METRICS names the wrong file, and
// its figures are not kept until the operator mends that.
//
// A file is made with mode 0600, owned by the user that runs the program,
// and its blocks are allocated when it is made, so that an add never needs
// a block a full disk could refuse.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace vorn {

// What a file holds: the number naming its figures, and how many there are.
struct MetricsLayout {
    std::uint32_t id = 0;
    std::size_t slots = 0;
};

// What was found at the path of a metrics file.
enum class MetricsState {
    kOpen,     // a sound file of the layout, mapped
    kMissing,  // no file
    kForeign,  // a file that is not a metrics file (another magic)
    kLayout,   // a metrics file of another layout or number of slots
    kDamaged,  // a metrics file whose header fails its check
    kSize,     // a file of the wrong size (truncated, or grown)
    kUnusable, // no regular file, a symbolic link, or one that cannot be opened or mapped
};

// The words of `state` in messages: "a file of another kind", ...
const char* metricsfile_describe(MetricsState state);

// A metrics file mapped into memory, or none. Move-only; unmaps when
// destroyed.
class MetricsFile {
public:
    MetricsFile() = default;
    // Owns the mapping `base` of `bytes` bytes of the file `st` describes,
    // which holds `slots` counters and was made at `created`.
    MetricsFile(void* base, std::size_t bytes, std::size_t slots, std::time_t created, const struct stat& st,
                bool writable);
    MetricsFile(MetricsFile&& other) noexcept;
    MetricsFile& operator=(MetricsFile&& other) noexcept;
    MetricsFile(const MetricsFile&) = delete;
    MetricsFile& operator=(const MetricsFile&) = delete;
    ~MetricsFile();

    explicit operator bool() const { return base_ != nullptr; }
    // Adds `n` to slot `slot` (a gauge adds a negative delta as its two's
    // complement). A file that is none, or a slot beyond it, takes nothing.
    void add(std::size_t slot, std::uint64_t n) const;
    // The value of slot `slot` now; 0 beyond the file.
    std::uint64_t get(std::size_t slot) const;
    // When the file was made.
    std::time_t created() const { return created_; }
    // The identity of the mapped file, to see whether its path still names it.
    dev_t device() const { return device_; }
    ino_t inode() const { return inode_; }
    std::size_t bytes() const { return bytes_; }

private:
    void* base_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t slots_ = 0;
    std::time_t created_ = 0;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool writable_ = false;
};

// The outcome of opening a metrics file: the mapped file when `state` is
// kOpen, else what was found (and `error` the errno of a failure).
struct MetricsOpened {
    MetricsFile file;
    MetricsState state = MetricsState::kMissing;
    int error = 0;
};

// The size of a metrics file of `layout`, in bytes.
std::size_t metricsfile_size(const MetricsLayout& layout);

// Opens the metrics file `path` of `layout` for adding: makes it when it is
// missing, and replaces one of another layout or size, or a damaged one.
// Never waits: when another process is replacing the file at this moment,
// or the folder cannot be written, the disk is full or the file is
// foreign, the outcome is no file (and the state found), and the figures
// of this moment are lost. A symbolic link at `path` is not followed.
MetricsOpened metricsfile_open(const std::string& path, const MetricsLayout& layout);

// Opens the metrics file `path` of `layout` to read it, changing nothing.
MetricsOpened metricsfile_read(const std::string& path, const MetricsLayout& layout);

// The metrics file a persistent worker adds to, request after request: it
// stays mapped while its path names it, and is opened anew when the path
// changes, the file was replaced or removed, or it no longer has its size
// (one stat a request).
class MetricsKeep {
public:
    // The file of `path` to add to now; none when it cannot be had (then
    // tried again at the next use). An empty path is no file.
    const MetricsFile& use(const std::string& path, const MetricsLayout& layout);
    // The file in use now, as the last use left it.
    const MetricsFile& current() const { return file_; }

private:
    std::string path_;
    MetricsFile file_;
};

}  // namespace vorn
