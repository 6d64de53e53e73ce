// SPDX-License-Identifier: GPL-3.0-or-later
// A small FastCGI client for the tests, and vorncounter started the way a
// FastCGI process manager starts it (a listening socket as standard input).
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace vorn::test {

// What the application sent back for one request.
struct FastcgiReply {
    std::string out;          // the FCGI_STDOUT stream, byte for byte
    std::string err;          // the FCGI_STDERR stream
    int app_status = -1;      // from FCGI_END_REQUEST
    int protocol_status = -1;
    bool complete = false;    // an FCGI_END_REQUEST arrived
};

// The bytes of one FCGI_RESPONDER request: FCGI_BEGIN_REQUEST, the
// parameters (NAME=VALUE texts) and `body` as the stdin stream, each stream
// ended by its empty record.
std::string fastcgi_request_bytes(const std::vector<std::string>& params, const std::string& body,
                                  int request_id = 1);

// Sends one FCGI_RESPONDER request on the connected socket `fd`: the
// parameters (NAME=VALUE texts), then `body` as the stdin stream, and reads
// records until the request's end. Any failure leaves complete false.
FastcgiReply fastcgi_exchange(int fd, const std::vector<std::string>& params, const std::string& body,
                              int request_id = 1);

// vorncounter serving FastCGI on a Unix socket of its own in a scratch
// directory, with `site` as its working directory and program_env() as its
// environment, each NAME=VALUE of `env` in place of the variable of that
// name; stopped (SIGTERM) when it goes out of scope.
class FastcgiWorker {
public:
    explicit FastcgiWorker(const TempSite& site, const std::string& program = kVorncounter,
                           const std::vector<std::string>& env = {});
    ~FastcgiWorker();
    FastcgiWorker(const FastcgiWorker&) = delete;
    FastcgiWorker& operator=(const FastcgiWorker&) = delete;

    // Connects, sends `req` (its CGI variables as parameters, its body) and
    // collects the reply.
    FastcgiReply ask(const Request& req) const;
    // Connects to the socket; the caller owns the descriptor (-1 on failure).
    int connect_socket() const;

    pid_t pid() const { return pid_; }
    // Resident memory in KiB and the number of open descriptors of the
    // worker, from /proc.
    long resident_kib() const;
    // Processor time the worker has used, user and system, in clock ticks.
    long cpu_ticks() const;
    int open_descriptors() const;
    // open_descriptors() once it equals `expected`, or after 1 s: what the
    // worker holds between requests.
    int idle_descriptors(int expected) const;
    // False once the worker has ended (it is then collected).
    bool alive();

    // Sends SIGTERM and waits (at most 10 s, then SIGKILL): the exit status,
    // or 128 + signal. Standard output and error are kept for out()/err().
    int stop();
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    void collect(int wait_status);

    fs::path dir_;
    fs::path socket_;
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_, err_;
};

}  // namespace vorn::test
