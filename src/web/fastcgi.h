// SPDX-License-Identifier: GPL-3.0-or-later
// The persistent mode: one process answers FastCGI requests one after
// another.
//
// FastCGI process managers (spawn-fcgi, lighttpd's mod_fastcgi with a
// bin-path, Apache's mod_fcgid, systemd with StandardInput=socket) start
// their application with the listening socket as its standard input. This
// module notices that start, accepts the web server's connections on that
// socket one at a time and hands each request to the program's answer on a
// channel of its own: the request's FastCGI parameters are its CGI
// variables, its FastCGI stdin stream its body, and what the answer writes
// goes back as its FastCGI stdout.
#pragma once

#include <functional>

#include "web/channel.h"

namespace vorn {

// True when `fd` is a listening socket: the program was started by a
// FastCGI process manager. False for anything else (a file, a pipe, a
// connected socket, a closed descriptor).
bool fastcgi_listening(int fd);

// Answers the request on `channel` and returns its exit status (0 for an
// answer, 1 for an error image). It owns the request from accept to answer
// and must leave nothing of it behind when it returns.
using FastcgiAnswer = std::function<int(RequestChannel& channel)>;

// Serves FastCGI requests on the listening socket on standard input until
// the socket fails or SIGTERM, SIGINT or SIGUSR1 asks the process to end.
// Each request is answered by `answer`; its exit status goes back as the
// FastCGI application status. A signal that arrives during a request takes
// effect once that request is answered. Returns the process exit status: 0
// after a requested end, 1 when the socket could not be served.
int fastcgi_serve(const FastcgiAnswer& answer);

}  // namespace vorn
