#include "util.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "support.h"

namespace vorn {

namespace {

// The decoded request: query-string pairs first, then POST pairs. Empty
// while nothing has been decoded and after util_entryfree.
EntryList fentry;

// Standard input carries the body once: a body that gave no pair (it began
// with a zero byte) must not be read a second time at the next lookup,
// where the exhausted stream would look like a short body.
bool body_taken = false;

// A line of a name/value file is read in pieces of at most this many
// characters; the rest of a longer line is taken as a line of its own.
constexpr int kLineBuffer = 1001;

constexpr char kGetMethod[] = "GET";
constexpr char kPostMethod[] = "POST";

// The request of a CGI process: its environment, standard input and
// standard output, read and written exactly as a web server hands them over.
class CgiChannel final : public RequestChannel {
public:
    const char* variable(const char* name) override { return std::getenv(name); }
    std::size_t read(char* data, std::size_t size) override { return std::fread(data, 1, size, stdin); }
    void write(const char* data, std::size_t size) override { std::fwrite(data, 1, size, stdout); }
};

CgiChannel cgi_channel;
RequestChannel* channel = &cgi_channel;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Digit value of one character after a "%", by the arithmetic the request
// decoding has always used: letters above '@' fold case, the rest count
// from '0'. Non-hex characters are not rejected.
int hex_value(int c) {
    const int s = static_cast<signed char>(c);
    return s > 64 ? (s & 0xDF) - 55 : s - 48;
}

// A C text ends at its first zero byte; a request or file text that holds
// one ends there too.
void cut_at_zero(std::string& str) { str.resize(std::strlen(str.c_str())); }

std::string read_body() {
    const char* length_text = channel->variable("CONTENT_LENGTH");
    const long length = length_text ? util_tolong(length_text) : 0;
    if (length <= 0) return "";
    if (length > kMaxPostBody) {
        support_errormsg("Request body too large (%ld bytes, at most %ld)", length, kMaxPostBody);
    }
    std::string body(static_cast<std::size_t>(length), '\0');
    const std::size_t got = channel->read(body.data(), body.size());
    if (got < body.size()) {
        support_errormsg("Request body incomplete (%zu of %ld bytes)", got, length);
    }
    cut_at_zero(body);
    return body;
}

}  // namespace

RequestChannel& util_channel() { return *channel; }

void util_setchannel(RequestChannel* next) { channel = next ? next : &cgi_channel; }

std::optional<std::string> util_getvalue(const std::string& name) {
    if (fentry.empty()) _util_decoder();
    return util_fgetvalue(fentry, name);
}

void util_entryfree() {
    EntryList().swap(fentry);
    body_taken = false;
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

int _util_decoder() {
    if (!fentry.empty()) return -1;
    int count = 0;
    for (const char* method : {kGetMethod, kPostMethod}) {
        std::optional<std::string> text = _util_getquery(method);
        if (!text) continue;
        while (!text->empty()) {
            std::string value = _util_makeword(*text, '&');
            std::string name = _util_makeword(value, '=');
            _util_decodequery(name);
            _util_decodequery(value);
            util_deletespace(name);
            util_deletespace(value);
            fentry.push_back(Entry{std::move(name), std::move(value)});
            ++count;
        }
    }
    return count;
}

std::optional<std::string> _util_getquery(const std::string& method) {
    if (method == kGetMethod) {
        const char* query = channel->variable("QUERY_STRING");
        if (!query) return std::nullopt;
        return std::string(query);
    }
    if (method == kPostMethod) {
        const char* request_method = channel->variable("REQUEST_METHOD");
        if (!request_method || std::strcmp(request_method, kPostMethod) != 0) return std::nullopt;
        if (body_taken) return std::string();
        body_taken = true;
        return read_body();
    }
    return std::nullopt;
}

void _util_decodequery(std::string& str) {
    std::size_t out = 0;
    for (std::size_t in = 0; in < str.size(); ++in) {
        char c = str[in];
        if (c == '%' && in + 2 < str.size()) {
            c = _util_x2c(str[in + 1], str[in + 2]);
            in += 2;
        } else if (c == '+') {
            c = ' ';
        }
        if (c == '\0') break;
        str[out++] = c;
    }
    str.resize(out);
}

char _util_x2c(int hex_up, int hex_low) {
    const int value = 16 * hex_value(hex_up) + hex_value(hex_low);
    return static_cast<char>(static_cast<unsigned char>(value & 0xFF));
}

std::string _util_makeword(std::string& str, int stop) {
    const std::size_t pos = str.find(static_cast<char>(stop));
    std::string word = str.substr(0, pos);
    if (pos == std::string::npos) {
        str.clear();
    } else {
        str.erase(0, pos + 1);
    }
    return word;
}

EntryList util_fdecoder(const std::string& filename) {
    EntryList list;
    FilePtr f = util_fopen(filename, "r");
    if (!f) return list;
    char line[kLineBuffer];
    while (std::fgets(line, sizeof line, f.get())) {
        if (line[0] == '#' || line[0] == '\0') continue;
        std::string value = line;
        std::string name = _util_makeword(value, '=');
        util_deletespace(name);
        util_deletespace(value);
        list.push_back(Entry{std::move(name), std::move(value)});
    }
    return list;
}

std::optional<std::string> util_fgetvalue(const EntryList& first, const std::string& name) {
    for (const Entry& e : first) {
        if (e.name == name) return e.value;
    }
    return std::nullopt;
}

void util_fentryfree(EntryList& first) { EntryList().swap(first); }

int util_filecheck(const std::string& filename) { return util_fopen(filename, "r") ? 1 : 0; }

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

}  // namespace vorn
