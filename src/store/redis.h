// SPDX-License-Identifier: GPL-3.0-or-later
// A connection to a Redis (or Valkey) server through Debian's hiredis: where
// the server is, connecting with a time-out and the password, and commands
// whose failures are raised as error images.
//
// Every wait is bounded: connecting and every reply time out after the
// limit given to redis_connect (about a second), so a server that is down or
// stalled is answered with an error image at once, never after the long
// lock wait of the gdbm files.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// Where the server listens: a TCP host (a name, an IPv4 address or an IPv6
// address without brackets) and port, or the path of a Unix socket.
struct RedisAddress {
    std::string host;
    int port = 0;
    std::string socket;
};

// Reads "HOST:PORT", "[IPv6]:PORT" or a socket path (any text holding a
// "/"); nullopt when it is none of them (no port, a port outside 1-65535,
// an empty host, a host with characters no host name or address holds).
std::optional<RedisAddress> redis_parseaddress(const std::string& text);

// The address as the configuration wrote it, for messages.
std::string redis_describe(const RedisAddress& address);

struct RedisContextDeleter {
    void operator()(redisContext* c) const { redisFree(c); }
};
using RedisContext = std::unique_ptr<redisContext, RedisContextDeleter>;

struct RedisReplyDeleter {
    void operator()(redisReply* r) const { freeReplyObject(r); }
};
using RedisReply = std::unique_ptr<redisReply, RedisReplyDeleter>;

// Connects, and sends AUTH when a password is given. Connecting and every
// later reply wait at most `timeout`. Failures answer
// "Redis error. <cause> (<address>)" (throws ErrorAnswer).
RedisContext redis_connect(const RedisAddress& address, const std::optional<std::string>& password,
                           std::chrono::milliseconds timeout);

// Sends one command (each argument binary-safe) and returns its reply. A
// lost connection, a time-out or an error reply from the server answers
// "Redis error. <cause> (<address>)" (throws ErrorAnswer).
RedisReply redis_command(redisContext* c, const RedisAddress& address, const std::vector<std::string>& args);

// Sends all `commands` at once and reads their replies in order: one round
// trip. Fails like redis_command, at the first failed reply.
std::vector<RedisReply> redis_pipeline(redisContext* c, const RedisAddress& address,
                                       const std::vector<std::vector<std::string>>& commands);

// The same, but an error reply of the server is handed back as a reply,
// for a caller that understands some (a cluster's redirections); only a
// lost connection or a time-out throws.
std::vector<RedisReply> redis_rawpipeline(redisContext* c, const RedisAddress& address,
                                          const std::vector<std::vector<std::string>>& commands);

// Answers "Redis error. <cause> (<address>)" (throws ErrorAnswer).
[[noreturn]] void redis_fail(const std::string& cause, const RedisAddress& address);

// The text of a string or status reply; nullopt for a nil reply. Any other
// reply type answers "Redis error. Unexpected reply (<address>)".
std::optional<std::string> redis_text(const redisReply* reply, const RedisAddress& address);

}  // namespace vorn
