// Request decoding, name/value files, trimming and the file check.
//
// The request list is module state: it is built from the CGI query string
// (and, for POST, the body) at the first lookup and lives until
// util_entryfree. Name/value files (the configuration) are returned to the
// caller as an EntryList it owns.
//
// The request arrives on a channel (RequestChannel): the CGI variables, the
// body and the place its answer goes. A CGI run uses the process's own
// environment, standard input and standard output; a persistent server
// puts the channel of each request in place while it answers it.
#pragma once

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

// Largest POST body read. A counter request needs a few hundred bytes; a
// longer announced body is refused with the error image before any byte of
// it is read, so one request can never make the process read or allocate
// without bound.
inline constexpr long kMaxPostBody = 64 * 1024;

// Where a request comes from and where its answer goes.
class RequestChannel {
public:
    virtual ~RequestChannel() = default;
    // The CGI variable `name` (REMOTE_ADDR, QUERY_STRING, ...), or nullptr
    // when the request has none. Valid until the channel's request ends.
    virtual const char* variable(const char* name) = 0;
    // Reads up to `size` bytes of the request body into `data`; fewer only
    // when the body has ended. Returns the number of bytes read.
    virtual std::size_t read(char* data, std::size_t size) = 0;
    // Appends `size` bytes to the answer.
    virtual void write(const char* data, std::size_t size) = 0;
};

// The channel of the current request: the one set by util_setchannel, else
// the CGI channel (getenv, stdin, stdout).
RequestChannel& util_channel();

// Makes `channel` (borrowed, it must outlive its use) the current request's
// channel; nullptr puts the CGI channel back.
void util_setchannel(RequestChannel* channel);

// Value of the first request pair named `name` (exact, case-sensitive), or
// nullopt. Decodes the request first while the list is empty. Can end the
// process through support_errormsg when the POST body is refused.
std::optional<std::string> util_getvalue(const std::string& name);

// Releases the request list; the next lookup decodes again.
void util_entryfree();

// Trims space, tab, CR and LF from both ends, in place; returns `str`.
std::string& util_deletespace(std::string& str);

// Reads a name/value file: one pair per line (pieces of at most 1000
// characters), "#" in the first column for comments, trimmed name and value
// split at the first "=". Empty list when the file cannot be opened.
EntryList util_fdecoder(const std::string& filename);

// Value of the first pair named `name` in `first`, or nullopt.
std::optional<std::string> util_fgetvalue(const EntryList& first, const std::string& name);

// Empties `first`.
void util_fentryfree(EntryList& first);

// 1 if `filename` can be opened for reading (and is closed again), else 0.
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

// Module-private steps, declared here so the unit tests can reach them.

// Decodes the request into the list: query-string pairs, then POST pairs.
// Returns the number of pairs added, or -1 when the list already exists.
int _util_decoder();

// Raw request text for "GET" (QUERY_STRING) or "POST" (the body on standard
// input, when REQUEST_METHOD is exactly "POST"); nullopt otherwise. A body
// that is longer than kMaxPostBody, or that ends before CONTENT_LENGTH
// bytes arrived, is answered with the error image (does not return).
std::optional<std::string> _util_getquery(const std::string& method);

// Decodes "%XX" escapes and "+" in place. A "%" with fewer than two
// characters after it is kept as it stands. The text ends at the first
// decoded zero byte.
void _util_decodequery(std::string& str);

// The byte that the two hex characters after a "%" stand for. Non-hex
// characters go through the same arithmetic (%zz gives 'S').
char _util_x2c(int hex_up, int hex_low);

// Splits the word before the first `stop` off the front of `str` and
// returns it; `str` keeps what follows the stop (or becomes empty).
std::string _util_makeword(std::string& str, int stop);

}  // namespace vorn
