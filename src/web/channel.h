// SPDX-License-Identifier: GPL-3.0-or-later
// Where a request comes from and where its answer goes: the CGI variables,
// the body and the answer's bytes. A CGI run answers on the process's own
// environment, standard input and standard output (CgiChannel); the
// FastCGI loop makes a channel of each request it accepts.
#pragma once

#include <cstddef>

namespace vorn {

class RequestChannel {
public:
    virtual ~RequestChannel() = default;
    // The CGI variable `name` (REMOTE_ADDR, QUERY_STRING, ...), or nullptr
    // when the request has none. Valid while the channel is.
    virtual const char* variable(const char* name) = 0;
    // Reads up to `size` bytes of the request body into `data`; fewer only
    // when the body has ended. Returns the number of bytes read.
    virtual std::size_t read(char* data, std::size_t size) = 0;
    // Appends `size` bytes to the answer.
    virtual void write(const char* data, std::size_t size) = 0;
    // The answer is complete: what the request still does (a written
    // counter file's sync to disk) no longer holds it back. A FastCGI
    // answer ends when its handler returns, as its exit status comes last.
    virtual void end() {}
};

// The request of a CGI process: its environment, standard input and
// standard output, read and written exactly as a web server hands them over.
class CgiChannel final : public RequestChannel {
public:
    const char* variable(const char* name) override;
    std::size_t read(char* data, std::size_t size) override;
    void write(const char* data, std::size_t size) override;
    // Closes standard output: the web server has the whole answer.
    void end() override;
};

}  // namespace vorn
