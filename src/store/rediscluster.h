// SPDX-License-Identifier: GPL-3.0-or-later
// The servers of the Redis store: one server, or a Redis Cluster reached
// through any of the nodes REDIS_ADDR names.
//
// A cluster spreads its keys over 16384 hash slots, each served by one
// primary. Every command here names the key it is about; it goes to the
// node that serves that key's slot as far as this side knows, and a
// cluster's redirections are followed: MOVED (the slot lives elsewhere now:
// the map is learned anew), ASK (the slot is being moved: one command at
// the node named, after ASKING) and TRYAGAIN (a multi-key command met a
// slot half moved: again after a short pause). The map of slots is read
// with CLUSTER SLOTS from a node, when REDIS_ADDR names several nodes or
// once a redirection shows the server to be a cluster. One connection per
// node is kept for as long as the object lives (a FastCGI worker keeps it
// across requests). A cluster that is down (CLUSTERDOWN) or a node that
// cannot be reached is answered with "Redis error. CAUSE (ADDRESS)" at
// once, as a single server that is down is.
//
// The protocol is small and laid down in Redis' cluster documentation, and
// Debian has no C library of it for hiredis; so it is here: the CRC16 of
// the slots, the map, the redirections.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/redis.h"

namespace vorn {

inline constexpr int kRedisSlots = 16384;

// The hash slot of `key`: CRC16 (XMODEM) of the key, or of its hash tag (the
// text between the first "{" and the first "}" after it, when that is not
// empty), modulo 16384.
int rediscluster_slot(std::string_view key);

// The addresses of REDIS_ADDR: one or more, separated by blanks. nullopt when
// one of them is no address (redis_parseaddress) or there is none.
std::optional<std::vector<RedisAddress>> rediscluster_parseaddresses(const std::string& text);

class RedisNodes {
public:
    RedisNodes(std::vector<RedisAddress> seeds, std::optional<std::string> password, std::chrono::milliseconds wait);
    RedisNodes(const RedisNodes&) = delete;
    RedisNodes& operator=(const RedisNodes&) = delete;

    // `args` at the node of `key`'s slot; its reply. An error reply (but the
    // redirections, which are followed) answers "Redis error. <reply>
    // (<node>)"; so does a node that cannot be reached.
    RedisReply command(std::string_view key, const std::vector<std::string>& args);

    // `commands`, all about keys of `key`'s slot, in one round trip to its
    // node; their replies in order. Fails like command at the first error
    // reply (a redirection sends them all again).
    std::vector<RedisReply> pipeline(std::string_view key, const std::vector<std::vector<std::string>>& commands);

    // Scripts go to the server by their SHA-1 (EVALSHA); one the node does
    // not know yet is sent whole once (EVAL), which loads it. `body` is the
    // script, `keys` and `args` as EVAL takes them; the command to send.
    std::vector<std::string> script(const std::string& body, const std::vector<std::string>& keys,
                                    const std::vector<std::string>& args);

    // `args` at the node `node` (one of primaries()), with no redirection.
    RedisReply commandat(const RedisAddress& node, const std::vector<std::string>& args);

    // The node that serves `key`'s slot, as far as this side knows.
    RedisAddress nodeof(std::string_view key) { return _node(rediscluster_slot(key)); }

    // The primaries that serve every slot (a cluster's, read from the map),
    // or the one server.
    std::vector<RedisAddress> primaries();

    // Whether the server is known to be a cluster.
    bool cluster();

    // How many replicas the primary of `key`'s slot has, as the map says (0
    // for a single server or an unknown map).
    int replicas(std::string_view key);

    // The first address of REDIS_ADDR, for messages about the store.
    const RedisAddress& first() const { return seeds_.front(); }
    // Every address of REDIS_ADDR, as written ("127.0.0.1:7001 127.0.0.1:7002").
    std::string describe() const;

    // The seeds, password and wait this object was made for.
    bool same(const std::vector<RedisAddress>& seeds, const std::optional<std::string>& password) const;

private:
    struct Range {
        int first = 0, last = -1;
        RedisAddress primary;
        int replicas = 0;
    };

    redisContext* _connect(const RedisAddress& address);
    const RedisAddress& _node(int slot);
    bool _loadmap(const RedisAddress& from);
    // Drops what is known of `node`: its connection, and a cluster's map.
    void _forget(const RedisAddress& node);
    void _map();

    std::vector<RedisAddress> seeds_;
    std::optional<std::string> password_;
    std::chrono::milliseconds wait_;
    std::map<std::string, RedisContext> contexts_;  // by address text
    std::optional<RedisAddress> reached_;           // the seed that answered first
    bool cluster_ = false;
    bool mapped_ = false;                     // the map was read
    std::vector<Range> ranges_;               // the map, by slot range
    std::map<int, RedisAddress> moved_;       // slots a MOVED named since the map was read
    std::map<std::string, std::string> scripts_;  // the scripts sent by SHA-1, by it
};

}  // namespace vorn
