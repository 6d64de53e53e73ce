// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/redis.h"

#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "base/support.h"

namespace vorn {

namespace {

[[noreturn]] void _redis_error(const char* cause, const RedisAddress& address) {
    support_errormsg("Redis error. %s (%s)", cause, redis_describe(address).c_str());
}

// What went wrong on the connection: hiredis keeps it in the context.
[[noreturn]] void _redis_connectionerror(redisContext* c, const RedisAddress& address) {
    _redis_error(c && c->err ? c->errstr : "Connection lost", address);
}

struct timeval _redis_timeval(std::chrono::milliseconds limit) {
    struct timeval tv {};
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    return tv;
}

// A reply the server sent as an error is a failure like a lost connection.
RedisReply _redis_checked(void* raw, redisContext* c, const RedisAddress& address) {
    RedisReply reply(static_cast<redisReply*>(raw));
    if (!reply) _redis_connectionerror(c, address);
    if (reply->type == REDIS_REPLY_ERROR) _redis_error(reply->str, address);
    return reply;
}

// Writing to a server that has gone away raises SIGPIPE, which would end
// the process before it could answer with the error image. The signal is
// blocked while a command is sent, and one it raised is taken off again
// before the old mask returns, so the write fails with EPIPE instead and
// nothing else of the process changes.
class NoSigpipe {
public:
    NoSigpipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~NoSigpipe() {
        // A blocked signal is pending at most once: one wait takes it.
        if (!was_pending_) {
            const struct timespec zero {};
            int got;
            do {
                got = sigtimedwait(&pipe_, nullptr, &zero);
            } while (got == -1 && errno == EINTR);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool was_pending_ = false;
};

struct Argv {
    std::vector<const char*> argv;
    std::vector<std::size_t> lens;
    explicit Argv(const std::vector<std::string>& args) {
        for (const std::string& a : args) {
            argv.push_back(a.data());
            lens.push_back(a.size());
        }
    }
    int argc() const { return static_cast<int>(argv.size()); }
};

}  // namespace

std::optional<RedisAddress> redis_parseaddress(const std::string& text) {
    RedisAddress address;
    if (text.find('/') != std::string::npos) {
        address.socket = text;
        return address;
    }
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        address.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) return std::nullopt;
        address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (address.host.empty() || port.empty() || port.size() > 5) return std::nullopt;
    // A host name, an IPv4 address or (in brackets) an IPv6 address: no
    // blank, bracket or other character any of them can hold.
    const bool v6 = text.front() == '[';
    for (char c : address.host) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        const bool ok = v6 ? hex || c == ':' || c == '.'
                           : hex || (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '.' || c == '-' || c == '_';
        if (!ok) return std::nullopt;
    }
    if (v6 && address.host.find(':') == std::string::npos) return std::nullopt;
    for (char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    address.port = std::atoi(port.c_str());
    if (address.port < 1 || address.port > 65535) return std::nullopt;
    return address;
}

std::string redis_describe(const RedisAddress& address) {
    if (!address.socket.empty()) return address.socket;
    const bool v6 = address.host.find(':') != std::string::npos;
    return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

RedisContext redis_connect(const RedisAddress& address, const std::optional<std::string>& password,
                           std::chrono::milliseconds timeout) {
    const struct timeval tv = _redis_timeval(timeout);
    RedisContext c(address.socket.empty() ? redisConnectWithTimeout(address.host.c_str(), address.port, tv)
                                          : redisConnectUnixWithTimeout(address.socket.c_str(), tv));
    if (!c) _redis_error("Out of memory", address);
    if (c->err) _redis_connectionerror(c.get(), address);
    if (redisSetTimeout(c.get(), tv) != REDIS_OK) _redis_connectionerror(c.get(), address);
    if (password) redis_command(c.get(), address, {"AUTH", *password});
    return c;
}

RedisReply redis_command(redisContext* c, const RedisAddress& address, const std::vector<std::string>& args) {
    Argv a(args);
    void* raw = nullptr;
    {
        NoSigpipe guard;
        raw = redisCommandArgv(c, a.argc(), a.argv.data(), a.lens.data());
    }
    return _redis_checked(raw, c, address);
}

void redis_fail(const std::string& cause, const RedisAddress& address) { _redis_error(cause.c_str(), address); }

std::vector<RedisReply> redis_pipeline(redisContext* c, const RedisAddress& address,
                                       const std::vector<std::vector<std::string>>& commands) {
    std::vector<RedisReply> replies = redis_rawpipeline(c, address, commands);
    for (const RedisReply& reply : replies) {
        if (reply->type == REDIS_REPLY_ERROR) _redis_error(reply->str, address);
    }
    return replies;
}

std::vector<RedisReply> redis_rawpipeline(redisContext* c, const RedisAddress& address,
                                          const std::vector<std::vector<std::string>>& commands) {
    for (const auto& args : commands) {
        Argv a(args);
        if (redisAppendCommandArgv(c, a.argc(), a.argv.data(), a.lens.data()) != REDIS_OK) {
            _redis_connectionerror(c, address);
        }
    }
    std::vector<RedisReply> replies;
    replies.reserve(commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        void* raw = nullptr;
        int got = REDIS_ERR;
        if (i == 0) {
            NoSigpipe guard;  // the first read writes the buffered commands
            got = redisGetReply(c, &raw);
        } else {
            got = redisGetReply(c, &raw);
        }
        if (got != REDIS_OK || !raw) _redis_connectionerror(c, address);
        replies.push_back(RedisReply(static_cast<redisReply*>(raw)));
    }
    return replies;
}

std::optional<std::string> redis_text(const redisReply* reply, const RedisAddress& address) {
    switch (reply->type) {
        case REDIS_REPLY_NIL: return std::nullopt;
        case REDIS_REPLY_STRING:
        case REDIS_REPLY_STATUS: return std::string(reply->str, reply->len);
        case REDIS_REPLY_INTEGER: return std::to_string(reply->integer);
        default: _redis_error("Unexpected reply", address);
    }
}

}  // namespace vorn
