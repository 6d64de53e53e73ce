// SPDX-License-Identifier: GPL-3.0-or-later
// A real Redis Cluster for the tests: redis-server processes on loopback
// ports, each in a directory of its own under one temporary directory,
// without persistence, joined with `redis-cli --cluster create`, and
// stopped and removed again when the owner goes out of scope, also when the
// test fails. Every wait is bounded: a cluster that does not settle fails
// the test instead of hanging it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace vorn::test {

class RedisCluster {
public:
    struct Options {
        int primaries = 3;              // at least 3: redis-cli creates no smaller cluster
        int replicas_per_primary = 1;   // --cluster-replicas
    };

    // A redis-cli run the test started and has not collected yet (see
    // reshard_start). Killed (SIGKILL) and collected when dropped unfinished.
    class Job {
    public:
        Job() = default;
        explicit Job(Child child) : child_(std::move(child)) {}
        Job(Job&& other) noexcept;
        Job& operator=(Job&& other) noexcept;
        ~Job();
        Job(const Job&) = delete;
        Job& operator=(const Job&) = delete;

        bool started() const { return child_.pid > 0; }
        // Waits at most `limit` for the end (then kills it, timed_out set).
        RunResult finish(std::chrono::milliseconds limit);

    private:
        Child child_;
    };

    // Starts the cluster and waits until it is ready (see settle). Adds a
    // test failure, with the tail of the nodes' logs, when redis-server and
    // redis-cli are installed but the cluster does not come up.
    RedisCluster();
    explicit RedisCluster(Options options);
    ~RedisCluster();
    RedisCluster(const RedisCluster&) = delete;
    RedisCluster& operator=(const RedisCluster&) = delete;

    // True when redis-server and redis-cli are installed.
    static bool installed();
    // False when the cluster is not installed or did not come up.
    bool running() const { return running_; }

    // "127.0.0.1:P1 127.0.0.1:P2 ..." of the live primaries, as REDIS_ADDR
    // takes it.
    std::string addresses() const;
    // Ports of the live nodes that are primaries (replicas), by ROLE asked
    // of each node itself; in ascending order.
    std::vector<int> primary_ports() const;
    std::vector<int> replica_ports() const;
    // Ports of every node started and not killed.
    std::vector<int> live_ports() const;
    // The node's own id (CLUSTER MYID).
    std::string node_id(int port) const;

    // The port of the primary serving `slot` by CLUSTER SLOTS of a live
    // node, or 0 when no primary serves it.
    int owner_of(int slot) const;
    // The slots the primary at `port` serves, by CLUSTER SLOTS of a live
    // node, in ascending order.
    std::vector<int> slots_of(int port) const;
    // The slot of `key`: CRC16 (XMODEM) of the key, or of its hash tag (the
    // bytes between the first '{' and the first '}' after it, when there
    // are any), modulo 16384.
    static int slot_of(const std::string& key);
    // The port of the primary holding `key`.
    int port_of(const std::string& key) const { return owner_of(slot_of(key)); }

    // Runs one command on the node at `port`; answers a string, status or
    // integer reply as text, nullopt for nil or an array. An error reply or
    // a lost connection fails the test.
    std::optional<std::string> run(int port, const std::vector<std::string>& args) const;
    // Runs one command whose reply is an array of strings or integers on the
    // node at `port` and answers its elements.
    std::vector<std::string> array(int port, const std::vector<std::string>& args) const;
    // Runs one command on the primary holding `key` (e.g. HGETALL key).
    std::optional<std::string> run_at(const std::string& key, const std::vector<std::string>& args) const {
        return run(port_of(key), args);
    }

    // Moves `slots` slots from the primary at `from_port` to the primary at
    // `to_port` with `redis-cli --cluster reshard` and waits (at most a
    // minute) until it is done and every node agrees on the new owners.
    void reshard(int from_port, int to_port, int slots);
    // The same redis-cli run, started and not waited for: visits can run
    // while the slots move. Collect it with Job::finish, then call settle().
    Job reshard_start(int from_port, int to_port, int slots) const;

    // Kills (SIGKILL) the node at `port`, a primary.
    void fail_primary(int port);
    // Waits (at most 15 s) until a replica of the primary killed at
    // `old_port` is a primary and the cluster is ready again; answers the
    // time from the kill until then. Fails the test when it is not.
    std::chrono::milliseconds wait_failover(int old_port);
    // Starts the killed node at `port` again with its own cluster
    // configuration file: it joins as a replica of its successor. Waits
    // until the cluster is ready.
    void restart(int port);

    // CONFIG SET `name` `value` on every live node.
    void set_config(const std::string& name, const std::string& value) const;

    // Waits (at most `limit`) until every live node says cluster_state:ok
    // with all 16384 slots served, knows every other node, every replica's
    // link to its primary is up, and all live nodes answer the same CLUSTER
    // SLOTS. False (with a test failure) when that does not happen in time.
    bool settle(std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

private:
    struct Node {
        int port = 0;
        pid_t pid = -1;
        std::filesystem::path dir;
        std::chrono::steady_clock::time_point killed_at;
        std::vector<int> replicas;  // its replicas' ports when it was killed
    };

    bool start_node(Node& node);
    bool create();
    Node* find(int port);
    const Node* find(int port) const;
    // Why the cluster is not ready, or empty when it is.
    std::string unready() const;
    std::string log_tails() const;

    Options options_;
    std::filesystem::path dir_;
    std::vector<Node> nodes_;
    bool running_ = false;
};

}  // namespace vorn::test
