// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/fastcgi.h"

#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstddef>

#include <fcgiapp.h>


namespace vorn {

namespace {

// Set by the end signals; read between requests.
volatile sig_atomic_t end_requested = 0;

constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGUSR1};

extern "C" void _fastcgi_end(int) {
    end_requested = 1;
    // Makes a blocked accept inside the library give up instead of
    // waiting for the next connection.
    FCGX_ShutdownPending();
}

// The end signals for as long as it lives: caught while the process waits
// for a connection, held back while it answers a request, so a request is
// never cut off in the middle (a read of a picture or a database ended by
// EINTR) and its locks and files are closed by their owners. The handlers
// are installed without SA_RESTART so that they end a blocked accept.
class EndSignals {
public:
    EndSignals() {
        struct sigaction action {};
        action.sa_handler = _fastcgi_end;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kEndSignals); ++i) sigaction(kEndSignals[i], &action, &old_[i]);
        sigemptyset(&set_);
        for (int s : kEndSignals) sigaddset(&set_, s);
    }
    ~EndSignals() {
        hold(false);
        for (std::size_t i = 0; i < std::size(kEndSignals); ++i) sigaction(kEndSignals[i], &old_[i], nullptr);
    }
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    // Holds the signals back (a request runs) or lets them in (waiting);
    // one held back meanwhile is delivered when they are let in.
    void hold(bool held) { sigprocmask(held ? SIG_BLOCK : SIG_UNBLOCK, &set_, nullptr); }

private:
    struct sigaction old_[std::size(kEndSignals)] {};
    sigset_t set_{};
};

// One FastCGI request as the program's request channel.
class FastcgiChannel final : public RequestChannel {
public:
    explicit FastcgiChannel(FCGX_Request& request) : request_(request) {}

    const char* variable(const char* name) override { return FCGX_GetParam(name, request_.envp); }

    std::size_t read(char* data, std::size_t size) override {
        std::size_t got = 0;
        while (got < size) {
            const int want = static_cast<int>(std::min<std::size_t>(size - got, INT_MAX));
            const int n = FCGX_GetStr(data + got, want, request_.in);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        return got;
    }

    void write(const char* data, std::size_t size) override {
        // A client that went away makes the stream fail; the answer is then
        // dropped, as a CGI's output to a closed pipe is.
        while (size > 0) {
            const int n = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
            if (FCGX_PutStr(data, n, request_.out) != n) return;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }

private:
    FCGX_Request& request_;
};

// Owner of the library's request record and the connection it holds.
class AcceptedRequests {
public:
    AcceptedRequests() { ok_ = FCGX_InitRequest(&request_, 0, 0) == 0; }
    ~AcceptedRequests() {
        if (ok_) FCGX_Free(&request_, 1);
    }
    AcceptedRequests(const AcceptedRequests&) = delete;
    AcceptedRequests& operator=(const AcceptedRequests&) = delete;

    bool ok() const { return ok_; }
    FCGX_Request& request() { return request_; }

private:
    FCGX_Request request_{};
    bool ok_ = false;
};

}  // namespace

bool fastcgi_listening(int fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

int fastcgi_serve(const FastcgiAnswer& answer) {
    if (FCGX_Init() != 0) return 1;
    EndSignals signals;
    signals.hold(true);
    AcceptedRequests accepted;
    if (!accepted.ok()) return 1;
    FCGX_Request& request = accepted.request();
    for (;;) {
        signals.hold(false);
        const int got = end_requested ? -1 : FCGX_Accept_r(&request);
        signals.hold(true);
        if (got < 0) break;
        {
            FastcgiChannel channel(request);
            FCGX_SetExitStatus(answer(channel), request.out);
        }
        FCGX_Finish_r(&request);
    }
    return end_requested ? 0 : 1;
}

}  // namespace vorn
