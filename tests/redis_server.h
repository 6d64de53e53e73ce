// SPDX-License-Identifier: GPL-3.0-or-later
// A real redis-server for the tests: started in a temporary directory of
// its own, without persistence, on a Unix socket (and a free loopback port
// when asked), and stopped again when the owner goes out of scope, also
// when the test fails.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vorn::test {

class RedisServer {
public:
    struct Options {
        bool tcp = false;                     // listen on 127.0.0.1 as well
        std::optional<std::string> password;  // requirepass
    };
    RedisServer();
    explicit RedisServer(Options options);
    ~RedisServer();
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    // False when redis-server is not installed or did not come up.
    bool running() const { return pid_ > 0; }
    const std::string& socket() const { return socket_; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // "127.0.0.1:PORT"; empty without tcp.
    std::string tcp_address() const;

    // Stops the server (SIGKILL when `hard`), and starts it again, empty.
    void stop(bool hard = false);
    void start();

private:
    Options options_;
    std::filesystem::path dir_;
    std::string socket_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace vorn::test

struct redisContext;

namespace vorn::test {

// A connection of a test to a server that goes around the program's own
// store code: to plant keys and to read what the programs wrote.
class RedisClient {
public:
    // Connects to the Unix socket, with AUTH when a password is given.
    explicit RedisClient(const std::string& socket, const std::optional<std::string>& password = std::nullopt);
    ~RedisClient();
    RedisClient(const RedisClient&) = delete;
    RedisClient& operator=(const RedisClient&) = delete;

    // Runs one command; answers a string, status or integer reply as text,
    // nullopt for nil. An error reply or a lost connection fails the test.
    std::optional<std::string> run(const std::vector<std::string>& args);
    // Every field of the hash `key` (none when there is no such key).
    std::map<std::string, std::string> hash(const std::string& key);
    // The members of the set `key`.
    std::set<std::string> members(const std::string& key);
    // Runs one command whose reply is an array and answers its elements.
    std::vector<std::string> array(const std::vector<std::string>& args);

    // A counter as the store keeps it (redis_plant, redis_records).
    void plant(const std::string& name, const std::map<std::string, std::string>& fields,
               const std::string& prefix = "vorncounter:");
    std::map<std::string, std::string> records(const std::string& name, const std::string& prefix = "vorncounter:");
    // Whether the counter `name` exists.
    bool exists(const std::string& name, const std::string& prefix = "vorncounter:");

private:
    redisContext* c_;
};

// How a test sends one command to a server or a cluster: its reply as text
// (nullopt for nil), or as the elements of an array.
using RedisRun = std::function<std::optional<std::string>(const std::vector<std::string>&)>;
using RedisArray = std::function<std::vector<std::string>(const std::vector<std::string>&)>;

// A counter as the store keeps it, written and read here without the
// program: PREFIX{NAME} the hash of its total, start and any record that is
// no hour (and the empty field that marks it as existing),
// PREFIX{NAME}d:YYYY/MM/DD a hash per day with a field per hour,
// PREFIX{NAME}i the set of its days as YYYYMMDD.
// Makes the counter `name` exist with the records `fields`.
void redis_plant(const RedisRun& run, const std::string& name, const std::map<std::string, std::string>& fields,
                 const std::string& prefix = "vorncounter:");
// Every record of the counter `name`; none when it does not exist.
std::map<std::string, std::string> redis_records(const RedisArray& array, const std::string& name,
                                                 const std::string& prefix = "vorncounter:");

}  // namespace vorn::test
