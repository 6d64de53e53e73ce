// SPDX-License-Identifier: GPL-3.0-or-later
// Text helpers and owners every layer uses: name/value pairs and the file
// they are read from, form decoding, trimming, numbers as the counter reads
// them, names that may become part of a path, and RAII owners of files and
// descriptors. Nothing here keeps state between calls.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// One decoded name/value pair. A piece without "=" has an empty value.
struct Entry {
    std::string name;
    std::string value;
};

// Pairs in the order they were read; equal names all stay, the first wins
// on lookup.
using EntryList = std::vector<Entry>;

// Value of the first pair named `name` (exact, case-sensitive), or nullopt.
std::optional<std::string> util_getvalue(const EntryList& first, const std::string& name);

// Decodes the form-encoded `text` ("a=1&b=%41+c") and appends its pairs to
// `list`: split at "&", then at the first "=", each name and value
// decoded ("%XX" and "+") and then trimmed. An escaped "&" or "=" is data.
void util_decodepairs(std::string text, EntryList& list);

// Decodes "%XX" escapes and "+" in place. A "%" with fewer than two
// characters after it is kept as it stands; non-hex characters go through
// the same arithmetic (%zz gives 'S'). The text ends at the first decoded
// zero byte.
void util_decodequery(std::string& str);

// Splits the word before the first `stop` off the front of `str` and
// returns it; `str` keeps what follows the stop (or becomes empty).
std::string util_makeword(std::string& str, char stop);

// Trims space, tab, CR and LF from both ends, in place; returns `str`.
std::string& util_deletespace(std::string& str);

// Reads a name/value file: one pair per line (pieces of at most 1000
// characters), "#" in the first column for comments, trimmed name and value
// split at the first "=". Empty list when the file cannot be opened.
EntryList util_fdecoder(const std::string& filename);

// The pairs of the text of a name/value file, as util_fdecoder reads them
// (a line, or a piece of it, ends at its first zero byte).
EntryList util_decodelines(const std::string& text);

// 1 if `filename` can be opened for reading by this process (its effective
// user and groups), else 0. Nothing is opened: a FIFO is not waited on.
int util_filecheck(const std::string& filename);

// Owner of a FILE*; closes it when it goes out of scope.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file; an empty owner when it cannot be opened.
FilePtr util_fopen(const std::string& filename, const char* mode);

// Owner of a file descriptor; closes it when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held and takes `fd`.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Opens a file of the site (a picture, the configuration) for reading
// without ever waiting: a FIFO, a device or a socket in its place, which
// an open or a read could block on for ever, is refused (errno EINVAL)
// before a byte is read. A directory opens; reading it fails. An empty
// owner, errno set, when the file cannot be opened. `st`, when given,
// receives the file's status.
UniqueFd util_openfile(const std::string& filename, struct stat* st = nullptr);

// Makes a new file in `dir` under a name no one can guess (`stem` and six
// random characters), open for reading and writing with mode 0600: a name
// another user planted there is never opened. Sets `path` to its name.
// Answers an empty owner, with errno set, when it cannot be made.
UniqueFd util_mktemp(const std::string& dir, const std::string& stem, std::string& path);

// Reads a decimal number the way strtol does in base 10: leading white
// space, an optional sign, then digits up to the first other character; no
// digits give 0, values beyond the 64-bit range are clamped. The one place
// where counts, lengths and styles become numbers.
long util_tolong(const std::string& text);

// `sum` + `count`; a sum that would leave the range of long stays at its
// end instead of wrapping. The one place counts are added up.
long util_addcount(long sum, long count);

// True when `name` can be used as one file or directory name inside a
// configured directory: it holds no "/" and no two dots in a row.
bool util_safename(const std::string& name);

// `text` with every control character (below 0x20, and 0x7F) shown as '?':
// what a message may show of a name or record, so that no terminal is
// driven by it.
std::string util_printable(const std::string& text);

// `path` by its whole path from the working directory, without "./" or a
// trailing "/"; `path` itself when that cannot be told.
std::string util_abspath(const std::string& path);

// The whole of the stream `in`, at most `limit` bytes; nullopt when it is
// longer or cannot be read (errno set).
std::optional<std::string> util_readall(std::FILE* in, std::size_t limit);

}  // namespace vorn
