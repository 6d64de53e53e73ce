// SPDX-License-Identifier: GPL-3.0-or-later
// The persistent mode: one process answers FastCGI requests one after
// another.
//
// FastCGI process managers (spawn-fcgi, lighttpd's mod_fastcgi with a
// bin-path, Apache's mod_fcgid, systemd with StandardInput=socket) start
// their application with the listening socket as its standard input. This
// module notices that start, accepts the web server's connections on that
// socket and hands each whole request to the program's answer on a channel
// of its own: the request's FastCGI parameters are its CGI variables, its
// FastCGI stdin stream its body, and what the answer writes goes back as
// its FastCGI stdout.
//
// The loop never waits on one client: every connection is read and written
// without blocking, so a client that stalls holds a descriptor, not the
// worker. A request must arrive whole (parameters and body) within
// kFastcgiRequestSeconds of its first byte (of the connection, for a new
// one), and its answer must be taken within as long; otherwise the
// connection is dropped and nothing of the request is answered or counted.
// Requests are answered one at a time, in the order they become whole.
#pragma once

#include <functional>

#include "web/channel.h"

namespace vorn {

// How long a request may take to arrive, and its answer to be taken.
inline constexpr int kFastcgiRequestSeconds = 10;
// How long a connection kept open between requests (FCGI_KEEP_CONN) may
// stay idle: longer than the keepalive of the web servers' connection
// pools, so that the web server closes it first.
inline constexpr int kFastcgiIdleSeconds = 300;
// Most connections one worker holds; past it, the one that made progress
// least recently is dropped for a new one.
inline constexpr int kFastcgiMaxConnections = 64;
// How long a worker asked to end or restart goes on reading the requests
// it has begun to receive, and sending answers not yet taken.
inline constexpr int kFastcgiDrainMilliseconds = 500;

// True when `fd` is a listening socket: the program was started by a
// FastCGI process manager. False for anything else (a file, a pipe, a
// connected socket, a closed descriptor).
bool fastcgi_listening(int fd);

// Answers the request on `channel` and returns its exit status (0 for an
// answer, 1 for an error image). It owns the request from its channel to
// its answer and must leave nothing of it behind when it returns.
using FastcgiAnswer = std::function<int(RequestChannel& channel)>;

// Why the loop ended.
enum class FastcgiEnd {
    kEnded,    // SIGTERM, SIGINT or SIGUSR1 asked the process to end
    kRestart,  // SIGHUP asked it to start its program anew on the same socket
    kFailed,   // the listening socket could not be served
};

// Serves FastCGI requests on the listening socket on standard input until
// an end signal (or SIGHUP) arrives or the socket fails. Each request is
// answered by `answer`; its exit status goes back as the FastCGI
// application status. A signal that arrives during an answer takes effect
// once that answer is made; then no connection is accepted any more,
// requests already arriving get kFastcgiDrainMilliseconds to arrive whole
// and be answered, and the rest are dropped (the listening socket keeps
// the connections not yet accepted for the next process).
FastcgiEnd fastcgi_serve(const FastcgiAnswer& answer);

}  // namespace vorn
