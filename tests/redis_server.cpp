// SPDX-License-Identifier: GPL-3.0-or-later
#include "redis_server.h"

#include "store/store.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

namespace vorn::test {

namespace {

namespace fs = std::filesystem;

// A loopback port nobody listens on now (the server binds it right after).
int _free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

bool _accepts(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace

RedisServer::RedisServer() : RedisServer(Options{}) {}

RedisServer::RedisServer(Options options) : options_(std::move(options)) {
    std::random_device rd;
    for (;;) {
        dir_ = fs::temp_directory_path() / ("vornredis-" + std::to_string(rd()));
        if (fs::create_directory(dir_)) break;
    }
    socket_ = (dir_ / "redis.sock").string();
    start();
}

RedisServer::~RedisServer() {
    stop(true);
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string RedisServer::tcp_address() const { return port_ ? "127.0.0.1:" + std::to_string(port_) : ""; }

void RedisServer::start() {
    if (pid_ > 0) return;
    if (access("/usr/bin/redis-server", X_OK) != 0) return;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = options_.tcp ? _free_port() : 0;
        std::vector<std::string> args = {"redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1",
                                         "--unixsocket", socket_, "--unixsocketperm", "777", "--save", "",
                                         "--appendonly", "no", "--dir", dir_.string(), "--daemonize", "no",
                                         "--logfile", (dir_ / "redis.log").string()};
        if (options_.password) {
            args.push_back("--requirepass");
            args.push_back(*options_.password);
        }
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv("/usr/bin/redis-server", argv.data());
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (_accepts(socket_)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stop(true);
    }
}

void RedisServer::stop(bool hard) {
    if (pid_ <= 0) return;
    kill(pid_, hard ? SIGKILL : SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    std::error_code ec;
    fs::remove(socket_, ec);
}

}  // namespace vorn::test

namespace vorn::test {

RedisClient::RedisClient(const std::string& socket, const std::optional<std::string>& password)
    : c_(redisConnectUnix(socket.c_str())) {
    EXPECT_TRUE(c_ && !c_->err) << socket << ": " << (c_ ? c_->errstr : "no memory");
    if (password) run({"AUTH", *password});
}

RedisClient::~RedisClient() {
    if (c_) redisFree(c_);
}

namespace {

using Reply = std::unique_ptr<redisReply, void (*)(void*)>;

Reply _command(redisContext* c, const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lens;
    for (const auto& a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    Reply reply(static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data())),
                freeReplyObject);
    EXPECT_TRUE(reply && reply->type != REDIS_REPLY_ERROR)
        << args.front() << ": " << (reply ? std::string(reply->str, reply->len) : std::string(c->errstr));
    return reply;
}

std::string _text(const redisReply* r) {
    return r->type == REDIS_REPLY_INTEGER ? std::to_string(r->integer) : std::string(r->str, r->len);
}

}  // namespace

std::optional<std::string> RedisClient::run(const std::vector<std::string>& args) {
    if (!c_) return std::nullopt;
    Reply r = _command(c_, args);
    if (!r || r->type == REDIS_REPLY_NIL || r->type == REDIS_REPLY_ERROR || r->type == REDIS_REPLY_ARRAY) {
        return std::nullopt;
    }
    return _text(r.get());
}

std::vector<std::string> RedisClient::array(const std::vector<std::string>& args) {
    std::vector<std::string> items;
    if (!c_) return items;
    Reply r = _command(c_, args);
    for (std::size_t i = 0; r && r->type == REDIS_REPLY_ARRAY && i < r->elements; ++i) items.push_back(_text(r->element[i]));
    return items;
}

std::map<std::string, std::string> RedisClient::hash(const std::string& key) {
    const std::vector<std::string> items = array({"HGETALL", key});
    std::map<std::string, std::string> fields;
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) fields[items[i]] = items[i + 1];
    return fields;
}

std::set<std::string> RedisClient::members(const std::string& key) {
    const std::vector<std::string> items = array({"SMEMBERS", key});
    return {items.begin(), items.end()};
}

void redis_plant(const RedisRun& run, const std::string& name, const std::map<std::string, std::string>& fields,
                 const std::string& prefix) {
    const std::string key = prefix + "{" + name + "}";
    run({"HSET", key, "", "1"});
    for (const auto& [k, v] : fields) {
        if (!store_ishour(k)) {
            run({"HSET", key, k, v});
            continue;
        }
        run({"HSET", key + "d:" + k.substr(0, 10), k.substr(11, 2), v});
        run({"SADD", key + "i", k.substr(0, 4) + k.substr(5, 2) + k.substr(8, 2)});
    }
}

std::map<std::string, std::string> redis_records(const RedisArray& array, const std::string& name,
                                                 const std::string& prefix) {
    const std::string key = prefix + "{" + name + "}";
    const auto hash = [&](const std::string& k) {
        const std::vector<std::string> items = array({"HGETALL", k});
        std::map<std::string, std::string> fields;
        for (std::size_t i = 0; i + 1 < items.size(); i += 2) fields[items[i]] = items[i + 1];
        return fields;
    };
    std::map<std::string, std::string> all = hash(key);
    all.erase("");
    for (const std::string& day : array({"SMEMBERS", key + "i"})) {
        const std::string text = day.substr(0, 4) + "/" + day.substr(4, 2) + "/" + day.substr(6, 2);
        for (const auto& [hour, value] : hash(key + "d:" + text)) all[text + "/" + hour] = value;
    }
    return all;
}

void RedisClient::plant(const std::string& name, const std::map<std::string, std::string>& fields,
                        const std::string& prefix) {
    redis_plant([this](const std::vector<std::string>& args) { return run(args); }, name, fields, prefix);
}

std::map<std::string, std::string> RedisClient::records(const std::string& name, const std::string& prefix) {
    return redis_records([this](const std::vector<std::string>& args) { return array(args); }, name, prefix);
}

bool RedisClient::exists(const std::string& name, const std::string& prefix) {
    return run({"EXISTS", prefix + "{" + name + "}"}) == "1";
}

}  // namespace vorn::test
