// SPDX-License-Identifier: GPL-3.0-or-later
// The FastCGI protocol (version 1) as a responder speaks it: the records a
// web server sends on one connection, read into one whole request at a
// time, and the records of an answer.
//
// A connection carries one request at a time: a second request begun
// before the first is answered is refused (FCGI_CANT_MPX_CONN), as is any
// role but the responder's. Management records are answered at once. The
// reader only collects bytes; it never waits, so whoever owns the
// connection decides how long a request may take to arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace vorn {

// A request as it arrived: its parameters (the CGI variables) and its body.
struct FcgiRequest {
    std::uint16_t id = 0;
    bool keep_conn = false;  // the web server keeps the connection for more requests
    // The first value of each parameter name.
    std::map<std::string, std::string> params;
    std::string body;  // the stdin stream, at most the reader's body limit
};

class FcgiReader {
public:
    enum class Status {
        kMore,     // nothing complete yet
        kRequest,  // a whole request is ready: take() it
        kBroken,   // the bytes are no FastCGI, or a request exceeds its bounds: drop the connection
    };

    // `max_params`: most bytes of one request's parameters; `max_body`:
    // most bytes of its body kept (the rest of the stream is read and
    // dropped, so that the web server can finish sending it).
    FcgiReader(std::size_t max_params, std::size_t max_body) : max_params_(max_params), max_body_(max_body) {}

    // Reads `bytes`, the next bytes of the connection. Records the protocol
    // answers at once (management records, refused requests) are appended
    // to `reply`. Stops at the end of the first whole request; the bytes
    // after it stay for the next call (feed an empty view to go on).
    Status feed(std::string_view bytes, std::string& reply);

    // The whole request feed() announced; the reader then waits for the next.
    FcgiRequest take();

    // True when no byte of a request (or of a record) has been read since
    // the last take(): the connection is idle.
    bool idle() const { return pending_.empty() && !begun_; }

private:
    Status _record(unsigned type, std::uint16_t id, std::string_view content, std::string& reply);

    std::size_t max_params_;
    std::size_t max_body_;
    std::string pending_;  // bytes of records not yet read whole
    bool begun_ = false;
    bool params_done_ = false;
    bool body_done_ = false;
    std::string params_;  // the parameters' name-value pairs as sent
    FcgiRequest request_;
};

// The records that answer request `id`: `out` as its stdout stream (ended
// by an empty record), then FCGI_END_REQUEST with `app_status`.
std::string fcgiproto_answer(std::uint16_t id, std::string_view out, int app_status);

}  // namespace vorn
