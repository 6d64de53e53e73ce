// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vorn {

namespace {

// A line of a name/value file is read in pieces of at most this many
// characters; the rest of a longer line is taken as a line of its own.
constexpr int kLineBuffer = 1001;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Digit value of one character after a "%", by the arithmetic the request
// decoding has always used: letters above '@' fold case, the rest count
// from '0'. Non-hex characters are not rejected.
int hex_value(int c) {
    const int s = static_cast<signed char>(c);
    return s > 64 ? (s & 0xDF) - 55 : s - 48;
}

// The byte that the two hex characters after a "%" stand for.
char util_x2c(int hex_up, int hex_low) {
    const int value = 16 * hex_value(hex_up) + hex_value(hex_low);
    return static_cast<char>(static_cast<unsigned char>(value & 0xFF));
}

}  // namespace

std::optional<std::string> util_getvalue(const EntryList& first, const std::string& name) {
    for (const Entry& e : first) {
        if (e.name == name) return e.value;
    }
    return std::nullopt;
}

void util_decodepairs(std::string text, EntryList& list) {
    while (!text.empty()) {
        std::string value = util_makeword(text, '&');
        std::string name = util_makeword(value, '=');
        util_decodequery(name);
        util_decodequery(value);
        util_deletespace(name);
        util_deletespace(value);
        list.push_back(Entry{std::move(name), std::move(value)});
    }
}

void util_decodequery(std::string& str) {
    std::size_t out = 0;
    for (std::size_t in = 0; in < str.size(); ++in) {
        char c = str[in];
        if (c == '%' && in + 2 < str.size()) {
            c = util_x2c(str[in + 1], str[in + 2]);
            in += 2;
        } else if (c == '+') {
            c = ' ';
        }
        if (c == '\0') break;
        str[out++] = c;
    }
    str.resize(out);
}

std::string util_makeword(std::string& str, char stop) {
    const std::size_t pos = str.find(stop);
    std::string word = str.substr(0, pos);
    if (pos == std::string::npos) {
        str.clear();
    } else {
        str.erase(0, pos + 1);
    }
    return word;
}

std::string& util_deletespace(std::string& str) {
    std::size_t begin = 0;
    while (begin < str.size() && is_blank(str[begin])) ++begin;
    std::size_t end = str.size();
    while (end > begin && is_blank(str[end - 1])) --end;
    str.erase(end);
    str.erase(0, begin);
    return str;
}

EntryList util_fdecoder(const std::string& filename) {
    UniqueFd fd = util_openfile(filename);
    FilePtr f(fd ? fdopen(fd.get(), "r") : nullptr);
    if (!f) return {};
    fd.release();
    // What fgets reads of a file that cannot be read (a directory) is nothing.
    return util_decodelines(util_readall(f.get(), std::string().max_size()).value_or(""));
}

EntryList util_decodelines(const std::string& text) {
    EntryList list;
    std::size_t pos = 0;
    while (pos < text.size()) {
        // What fgets gives into a buffer of kLineBuffer characters: up to
        // and with the next line feed, or the most that fits.
        std::size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        end = std::min(end, pos + kLineBuffer - 1);
        std::string value = text.substr(pos, end - pos);
        pos = end;
        value.resize(std::strlen(value.c_str()));
        if (value.empty() || value[0] == '#') continue;
        std::string name = util_makeword(value, '=');
        util_deletespace(name);
        util_deletespace(value);
        list.push_back(Entry{std::move(name), std::move(value)});
    }
    return list;
}

int util_filecheck(const std::string& filename) {
    return faccessat(AT_FDCWD, filename.c_str(), R_OK, AT_EACCESS) == 0 ? 1 : 0;
}

namespace {

// Files that can be read to their end without waiting on another process.
bool _util_readable(const struct stat& st) { return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode); }

}  // namespace

UniqueFd util_openfile(const std::string& filename, struct stat* status) {
    // Opening a FIFO for reading without O_NONBLOCK waits for a writer.
    UniqueFd fd(::open(filename.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) return fd;
    struct stat own {};
    struct stat& st = status ? *status : own;
    if (fstat(fd.get(), &st) != 0) return UniqueFd();
    if (!_util_readable(st)) {
        errno = EINVAL;
        return UniqueFd();
    }
    return fd;
}

FilePtr util_fopen(const std::string& filename, const char* mode) {
    return FilePtr(std::fopen(filename.c_str(), mode));
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

UniqueFd util_mktemp(const std::string& dir, const std::string& stem, std::string& path) {
    path = dir + "/" + stem + "XXXXXX";
    return UniqueFd(mkostemp(path.data(), O_CLOEXEC));
}

long util_tolong(const std::string& text) {
    // strtol itself clamps to LONG_MIN/LONG_MAX on overflow.
    return std::strtol(text.c_str(), nullptr, 10);
}

long util_addcount(long sum, long count) {
    long result;
    if (__builtin_add_overflow(sum, count, &result)) return count < 0 ? LONG_MIN : LONG_MAX;
    return result;
}

bool util_safename(const std::string& name) {
    return name.find('/') == std::string::npos && name.find("..") == std::string::npos;
}

std::string util_printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return shown;
}

std::string util_abspath(const std::string& path) {
    std::error_code ec;
    std::string abs = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec) return path;
    if (abs.size() > 1 && abs.back() == '/') abs.pop_back();
    return abs;
}

std::optional<std::string> util_readall(std::FILE* in, std::size_t limit) {
    std::string data;
    char buf[16384];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
        data.append(buf, n);
        if (data.size() > limit) return std::nullopt;
    }
    if (std::ferror(in)) return std::nullopt;
    return data;
}

}  // namespace vorn
