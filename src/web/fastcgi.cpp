// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/fastcgi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "base/util.h"
#include "web/fcgiproto.h"
#include "web/query.h"

namespace vorn {

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

// Most bytes of one request's parameters: the CGI variables with every
// request header a web server passes on.
constexpr std::size_t kMaxParams = 1024 * 1024;
// Bytes read from one connection before the others get their turn.
constexpr std::size_t kReadPiece = 64 * 1024;
constexpr int kReadsPerTurn = 4;
// Connections accepted before the others get their turn.
constexpr int kAcceptsPerTurn = 16;
// How long accepting pauses when the process has no descriptor left.
constexpr std::chrono::milliseconds kAcceptPause{100};

// Set by the signals; read by the loop, which waits with them let in.
volatile sig_atomic_t end_requested = 0;
volatile sig_atomic_t restart_requested = 0;

extern "C" void _fastcgi_end(int) { end_requested = 1; }
extern "C" void _fastcgi_restart(int) { restart_requested = 1; }

// The signals the loop answers, for as long as it lives: held back at all
// times but while it waits for its sockets (ppoll lets them in), so that
// an answer is never cut off in the middle (a read of a picture or a
// database ended by EINTR) and its locks and files are closed by their
// owners. Handlers without SA_RESTART end the wait. When it ends the
// signals stay held back: one that comes while the process ends is not
// let in to kill it, and one that comes while it starts its program anew
// waits, through exec, for the next loop.
class LoopSignals {
public:
    LoopSignals() {
        end_requested = 0;
        restart_requested = 0;
        sigset_t set;
        sigemptyset(&set);
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            struct sigaction action {};
            action.sa_handler = kSignals[i] == SIGHUP ? _fastcgi_restart : _fastcgi_end;
            sigemptyset(&action.sa_mask);
            sigaction(kSignals[i], &action, &old_[i]);
            sigaddset(&set, kSignals[i]);
        }
        // SIGPIPE would end the process when a client goes away; sends use
        // MSG_NOSIGNAL, and what else writes to a closed pipe gets EPIPE.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &old_pipe_);
        sigprocmask(SIG_BLOCK, &set, &old_mask_);
        waiting_ = old_mask_;
        for (int s : kSignals) sigdelset(&waiting_, s);
    }
    ~LoopSignals() {
        for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &old_[i], nullptr);
        sigaction(SIGPIPE, &old_pipe_, nullptr);
    }
    LoopSignals(const LoopSignals&) = delete;
    LoopSignals& operator=(const LoopSignals&) = delete;

    // The signal mask to wait with: the process's own, with these let in.
    const sigset_t* waiting() const { return &waiting_; }
    bool stop() const { return end_requested || restart_requested; }

private:
    static constexpr int kSignals[] = {SIGTERM, SIGINT, SIGUSR1, SIGHUP};
    struct sigaction old_[std::size(kSignals)] {};
    struct sigaction old_pipe_ {};
    sigset_t old_mask_{};
    sigset_t waiting_{};
};

// One connection of the web server's, and the request arriving on it.
struct Connection {
    Connection(int fd, TimePoint now) : fd(fd), reader(kMaxParams, static_cast<std::size_t>(kMaxPostBody)), since(now) {}

    UniqueFd fd;
    FcgiReader reader;
    std::string out;       // answer records not yet sent
    bool closing = false;  // close once `out` is sent: no request follows
    bool answered = false; // a request of it has been answered: it is no new connection
    bool idle = false;     // between requests of a kept connection
    TimePoint since;       // when its present wait began (for a request, or for its answer to be taken)

    TimePoint deadline() const {
        return since + std::chrono::seconds(idle ? kFastcgiIdleSeconds : kFastcgiRequestSeconds);
    }
};

// One request as the program's request channel. The answer is collected
// and goes out as records when it is complete: at end() (a whole answer
// whose remaining work, a file's sync, need not hold the web server), or
// when the handler returns, with its exit status.
class FastcgiChannel final : public RequestChannel {
public:
    FastcgiChannel(const FcgiRequest& request, std::string& out) : request_(request), out_(out) {}

    const char* variable(const char* name) override {
        const auto it = request_.params.find(name);
        return it == request_.params.end() ? nullptr : it->second.c_str();
    }

    std::size_t read(char* data, std::size_t size) override {
        const std::size_t n = std::min(size, request_.body.size() - read_);
        request_.body.copy(data, n, read_);
        read_ += n;
        return n;
    }

    void write(const char* data, std::size_t size) override {
        if (!finished_) answer_.append(data, size);
    }

    void end() override { finish(0); }

    // The answer's records with `status`, once.
    void finish(int status) {
        if (finished_) return;
        finished_ = true;
        out_ += fcgiproto_answer(request_.id, answer_, status);
        answer_ = std::string();
    }

    bool finished() const { return finished_; }

private:
    const FcgiRequest& request_;
    std::string& out_;
    std::string answer_;
    std::size_t read_ = 0;
    bool finished_ = false;
};

// The peers a TCP socket may be connected from, as libfcgi's applications
// read them: FCGI_WEB_SERVER_ADDRS, addresses separated by commas. Empty:
// any peer (a Unix socket is guarded by its file's mode).
std::vector<std::string> _fastcgi_allowed() {
    std::vector<std::string> allowed;
    const char* list = std::getenv("FCGI_WEB_SERVER_ADDRS");
    if (!list) return allowed;
    std::string text = list;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        std::string one = text.substr(at, comma - at);
        util_deletespace(one);
        if (!one.empty()) allowed.push_back(one);
        at = comma + 1;
    }
    return allowed;
}

bool _fastcgi_peerallowed(int fd, const std::vector<std::string>& allowed) {
    if (allowed.empty()) return true;
    struct sockaddr_storage peer {};
    socklen_t size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &size) != 0) return false;
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6*>(&peer)->sin6_addr, text, sizeof text);
    } else {
        return true;
    }
    return std::find(allowed.begin(), allowed.end(), text) != allowed.end();
}

class ServeLoop {
public:
    ServeLoop(const FastcgiAnswer& answer, const LoopSignals& signals)
        : answer_(answer), signals_(signals), allowed_(_fastcgi_allowed()) {}

    FastcgiEnd run() {
        const int flags = fcntl(STDIN_FILENO, F_GETFL);
        if (flags < 0 || fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK) != 0) return FastcgiEnd::kFailed;
        std::vector<struct pollfd> fds;
        for (;;) {
            const TimePoint now = SteadyClock::now();
            if (signals_.stop() && !draining_) _drain(now);
            if (draining_ && (connections_.empty() || now >= drain_end_)) break;
            _expire(now);

            fds.clear();
            const bool listening = !draining_ && now >= accept_pause_;
            fds.push_back({STDIN_FILENO, static_cast<short>(listening ? POLLIN : 0), 0});
            for (const Connection& c : connections_) {
                short events = c.closing ? 0 : POLLIN;
                if (!c.out.empty()) events |= POLLOUT;
                fds.push_back({c.fd.get(), events, 0});
            }
            struct timespec wait {};
            const bool timed = _nextwake(now, wait);
            const int ready = ppoll(fds.data(), fds.size(), timed ? &wait : nullptr, signals_.waiting());
            if (ready < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == ENOMEM) continue;
                return FastcgiEnd::kFailed;
            }
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return FastcgiEnd::kFailed;

            std::size_t i = 1;
            for (auto it = connections_.begin(); it != connections_.end(); ++i) {
                const short revents = fds[i].revents;
                if (revents == 0 || _turn(*it, revents)) {
                    ++it;
                } else {
                    it = connections_.erase(it);
                }
            }
            if ((fds[0].revents & POLLIN) && !_accept()) return FastcgiEnd::kFailed;
        }
        return end_requested ? FastcgiEnd::kEnded : FastcgiEnd::kRestart;
    }

private:
    // Asked to end: accept nothing more, drop the kept connections that
    // wait between requests, give the others a short time. A connection
    // accepted but not yet read from is the web server's for a request on
    // its way (the web server writes it right after connecting): it is
    // answered like the requests already arriving.
    void _drain(TimePoint now) {
        draining_ = true;
        drain_end_ = now + std::chrono::milliseconds(kFastcgiDrainMilliseconds);
        connections_.remove_if([](const Connection& c) { return c.answered && c.out.empty() && c.reader.idle(); });
    }

    // Drops the connections whose request or answer took too long, or that
    // were idle too long.
    void _expire(TimePoint now) {
        connections_.remove_if([now](const Connection& c) { return now >= c.deadline(); });
    }

    bool _nextwake(TimePoint now, struct timespec& wait) const {
        std::optional<TimePoint> next;
        auto consider = [&next](TimePoint t) {
            if (!next || t < *next) next = t;
        };
        for (const Connection& c : connections_) consider(c.deadline());
        if (draining_) consider(drain_end_);
        if (now < accept_pause_) consider(accept_pause_);
        if (!next) return false;
        const auto left = std::max(SteadyClock::duration::zero(), *next - now);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() + 1000000;  // round up a ms
        wait.tv_sec = static_cast<time_t>(ns / 1000000000);
        wait.tv_nsec = static_cast<long>(ns % 1000000000);
        return true;
    }

    // Accepts the connections that wait, a few at a time. False when the
    // listening socket cannot be served.
    bool _accept() {
        for (int n = 0; n < kAcceptsPerTurn; ++n) {
            const int fd = accept4(STDIN_FILENO, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                switch (errno) {
                    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
                    case EWOULDBLOCK:
#endif
                    case EINTR:
                        return true;
                    case EMFILE:
                    case ENFILE:
                    case ENOBUFS:
                    case ENOMEM:
                        // Out of descriptors or memory: give up the oldest
                        // connection, or pause, rather than spin.
                        if (!_evict()) accept_pause_ = SteadyClock::now() + kAcceptPause;
                        return true;
                    case EBADF:
                    case EINVAL:
                    case ENOTSOCK:
                    case EOPNOTSUPP:
                    case EFAULT:
                        return false;
                    default:
                        continue;  // the connection went away before it was taken
                }
            }
            UniqueFd accepted(fd);
            if (!_fastcgi_peerallowed(fd, allowed_)) continue;
            if (connections_.size() >= static_cast<std::size_t>(kFastcgiMaxConnections)) _evict();
            connections_.emplace_back(accepted.release(), SteadyClock::now());
        }
        return true;
    }

    // Drops the connection that made progress least recently.
    bool _evict() {
        if (connections_.empty()) return false;
        connections_.erase(std::min_element(connections_.begin(), connections_.end(),
                                            [](const Connection& a, const Connection& b) { return a.since < b.since; }));
        return true;
    }

    // Reads and writes what `c` is ready for, answering each request that
    // is whole. False when the connection is done with or broken.
    bool _turn(Connection& c, short revents) {
        if (revents & POLLNVAL) return false;
        if (!c.out.empty() && (revents & (POLLOUT | POLLERR | POLLHUP)) && !_send(c)) return false;
        if (!c.closing && (revents & (POLLIN | POLLERR | POLLHUP)) && !_receive(c)) return false;
        return _settle(c);
    }

    bool _receive(Connection& c) {
        std::string piece(kReadPiece, '\0');
        for (int n = 0; n < kReadsPerTurn; ++n) {
            const ssize_t got = recv(c.fd.get(), piece.data(), piece.size(), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
            if (got == 0) {
                // The web server closed its side: a request cut short is
                // dropped; answers not yet sent still go.
                if (!c.reader.idle()) return false;
                c.closing = true;
                return true;
            }
            if (c.idle) {
                c.idle = false;
                c.since = SteadyClock::now();
            }
            if (!_feed(c, std::string_view(piece.data(), static_cast<std::size_t>(got)))) return false;
            if (static_cast<std::size_t>(got) < piece.size()) return true;
        }
        return true;
    }

    // Reads `bytes` of `c` and answers the requests they complete.
    bool _feed(Connection& c, std::string_view bytes) {
        for (;;) {
            const FcgiReader::Status status = c.reader.feed(bytes, c.out);
            bytes = {};
            if (status == FcgiReader::Status::kBroken) return false;
            if (status == FcgiReader::Status::kMore) return true;
            const FcgiRequest request = c.reader.take();
            FastcgiChannel channel(request, c.out);
            channel.finish(answer_(channel));
            c.answered = true;
            c.since = SteadyClock::now();
            if (!request.keep_conn || draining_) c.closing = true;
            if (!_send(c)) return false;
            if (c.closing) return true;
        }
    }

    // Sends what `c` owes without waiting. False when the connection failed.
    bool _send(Connection& c) {
        std::size_t sent = 0;
        while (sent < c.out.size()) {
            const ssize_t n = send(c.fd.get(), c.out.data() + sent, c.out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        c.out.erase(0, sent);
        return true;
    }

    // What `c` waits for next; false when it is done with. A new
    // connection waits for its first request; one kept open after an
    // answer waits idle for the next.
    bool _settle(Connection& c) {
        if (!c.out.empty()) return true;
        if (c.closing) return false;
        if (c.answered && c.reader.idle() && !c.idle) {
            if (draining_) return false;
            c.idle = true;
            c.since = SteadyClock::now();
        }
        return true;
    }

    const FastcgiAnswer& answer_;
    const LoopSignals& signals_;
    const std::vector<std::string> allowed_;
    std::list<Connection> connections_;
    bool draining_ = false;
    TimePoint drain_end_{};
    TimePoint accept_pause_{};
};

}  // namespace

bool fastcgi_listening(int fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

FastcgiEnd fastcgi_serve(const FastcgiAnswer& answer) {
    LoopSignals signals;
    ServeLoop loop(answer, signals);
    return loop.run();
}

}  // namespace vorn
