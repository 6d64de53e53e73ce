// SPDX-License-Identifier: GPL-3.0-or-later
#include "redis_cluster.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

namespace vorn::test {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kServer = "/usr/bin/redis-server";
const char* const kCli = "/usr/bin/redis-cli";
constexpr int kSlots = 16384;
// Node ports are drawn below this range's end so that a node's bus port
// (its port + 10000) stays below the kernel's ephemeral ports (32768 and
// up), where an outgoing connection could take it first.
constexpr int kFirstPort = 10000;
constexpr int kLastPort = 22767;
constexpr int kBusOffset = 10000;
constexpr auto kNodeStart = std::chrono::seconds(10);
constexpr auto kCliLimit = std::chrono::seconds(60);
constexpr auto kFailoverLimit = std::chrono::seconds(15);
constexpr auto kStopGrace = std::chrono::seconds(3);
constexpr auto kPoll = milliseconds(20);

using Context = std::unique_ptr<redisContext, void (*)(redisContext*)>;
using Reply = std::unique_ptr<redisReply, void (*)(void*)>;

// A connection to the node at `port` whose connect and every command give up
// after a few seconds; null when the node does not answer.
Context _connect(int port) {
    const timeval connect_limit{1, 0};
    Context c(redisConnectWithTimeout("127.0.0.1", port, connect_limit), redisFree);
    if (!c || c->err) return Context(nullptr, redisFree);
    const timeval command_limit{5, 0};
    redisSetTimeout(c.get(), command_limit);
    return c;
}

// The reply of the node at `port` to one command, or null when it does not
// answer. An error reply is returned as such.
Reply _ask(int port, const std::vector<std::string>& args) {
    Context c = _connect(port);
    if (!c) return Reply(nullptr, freeReplyObject);
    std::vector<const char*> argv;
    std::vector<std::size_t> lens;
    for (const auto& a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    return Reply(static_cast<redisReply*>(redisCommandArgv(c.get(), static_cast<int>(argv.size()), argv.data(),
                                                           lens.data())),
                 freeReplyObject);
}

std::string _text(const redisReply* r) {
    if (r->type == REDIS_REPLY_INTEGER) return std::to_string(r->integer);
    return r->str ? std::string(r->str, r->len) : std::string();
}

bool _is(const redisReply* r, int type, std::size_t min_elements = 0) {
    return r && r->type == type && (type != REDIS_REPLY_ARRAY || r->elements >= min_elements);
}

// The fields of an INFO-style answer ("name:value" lines).
std::map<std::string, std::string> _fields(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 1);
    }
    return fields;
}

// What a node says of itself with ROLE: "master", or "slave" with the port of
// its primary and whether its link to it is up.
struct Role {
    std::string name;
    int primary_port = 0;
    bool linked = false;
};

std::optional<Role> _role(int port) {
    Reply r = _ask(port, {"ROLE"});
    if (!_is(r.get(), REDIS_REPLY_ARRAY, 1) || !_is(r->element[0], REDIS_REPLY_STRING)) return std::nullopt;
    Role role{_text(r->element[0]), 0, false};
    if (role.name == "slave" && r->elements >= 4) {
        role.primary_port = std::atoi(_text(r->element[2]).c_str());
        role.linked = _text(r->element[3]) == "connected";
    }
    return role;
}

// CLUSTER SLOTS of the node at `port` as (first, last, primary port) ranges in
// order, or nullopt when it does not answer.
using SlotRanges = std::vector<std::tuple<int, int, int>>;

std::optional<SlotRanges> _slot_ranges(int port) {
    Reply r = _ask(port, {"CLUSTER", "SLOTS"});
    if (!_is(r.get(), REDIS_REPLY_ARRAY)) return std::nullopt;
    SlotRanges ranges;
    for (std::size_t i = 0; i < r->elements; ++i) {
        const redisReply* e = r->element[i];
        if (!_is(e, REDIS_REPLY_ARRAY, 3) || !_is(e->element[2], REDIS_REPLY_ARRAY, 2)) return std::nullopt;
        ranges.emplace_back(static_cast<int>(e->element[0]->integer), static_cast<int>(e->element[1]->integer),
                            static_cast<int>(e->element[2]->element[1]->integer));
    }
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}

// CLUSTER SLOTS of the first of `ports` that answers.
std::optional<SlotRanges> _slot_ranges(const std::vector<int>& ports) {
    for (int port : ports) {
        if (std::optional<SlotRanges> ranges = _slot_ranges(port)) return ranges;
    }
    return std::nullopt;
}

// True when nothing listens on 127.0.0.1:`port` now.
bool _bindable(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// The last `lines` lines of `text`.
std::string _last_lines(const std::string& text, std::size_t lines) {
    std::size_t start = text.size();
    std::size_t seen = 0;
    while (start > 0) {
        // The text's last newline ends its last line; the one before the
        // first line kept ends the search.
        if (text[start - 1] == '\n' && ++seen > lines) break;
        --start;
    }
    return text.substr(start);
}

std::string _tail(const fs::path& file, std::size_t lines) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return _last_lines(text.str(), lines);
}

}  // namespace

RedisCluster::Job::Job(Job&& other) noexcept : child_(std::move(other.child_)) { other.child_.pid = -1; }

RedisCluster::Job& RedisCluster::Job::operator=(Job&& other) noexcept {
    if (this != &other) {
        Job dropped(std::move(*this));
        child_ = std::move(other.child_);
        other.child_.pid = -1;
    }
    return *this;
}

RedisCluster::Job::~Job() {
    if (child_.pid <= 0) return;
    kill(child_.pid, SIGKILL);
    finish_program(child_);
}

RunResult RedisCluster::Job::finish(milliseconds limit) {
    if (child_.pid <= 0) return RunResult{};
    RunResult r = finish_program_within(child_, limit);
    child_.pid = -1;
    return r;
}

RedisCluster::RedisCluster() : RedisCluster(Options{}) {}

RedisCluster::RedisCluster(Options options) : options_(options) {
    if (!installed()) return;
    std::random_device rd;
    for (;;) {
        dir_ = fs::temp_directory_path() / ("vorncluster-" + std::to_string(rd()));
        if (fs::create_directory(dir_)) break;
    }
    const int count = options_.primaries * (1 + options_.replicas_per_primary);
    for (int i = 0; i < count; ++i) {
        Node node;
        node.dir = dir_ / ("node" + std::to_string(i));
        fs::create_directory(node.dir);
        if (!start_node(node)) {
            ADD_FAILURE() << "redis-server of a cluster node did not start\n" << _tail(node.dir / "redis.log", 20);
            return;
        }
        nodes_.push_back(std::move(node));
    }
    running_ = create() && settle(std::chrono::seconds(30));
    if (!running_) ADD_FAILURE() << "the cluster did not come up\n" << log_tails();
}

RedisCluster::~RedisCluster() {
    for (const Node& node : nodes_) {
        if (node.pid > 0) kill(node.pid, SIGTERM);
    }
    const auto deadline = Clock::now() + kStopGrace;
    for (Node& node : nodes_) {
        while (node.pid > 0 && waitpid(node.pid, nullptr, WNOHANG) == 0) {
            if (Clock::now() >= deadline) {
                kill(node.pid, SIGKILL);
                waitpid(node.pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(kPoll);
        }
        node.pid = -1;
    }
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
}

bool RedisCluster::installed() { return access(kServer, X_OK) == 0 && access(kCli, X_OK) == 0; }

bool RedisCluster::start_node(Node& node) {
    std::random_device rd;
    std::uniform_int_distribution<int> pick(kFirstPort, kLastPort);
    const bool restarting = node.port != 0;
    // A fresh node takes a port nobody else has, and another one when a
    // concurrent test took it between the check and the bind; a restarted
    // node keeps its port, which the others know it by.
    for (int attempt = 0; attempt < (restarting ? 1 : 10); ++attempt) {
        if (!restarting) {
            for (int draw = 0; draw < 1000; ++draw) {
                node.port = pick(rd);
                if (!find(node.port) && _bindable(node.port) && _bindable(node.port + kBusOffset)) break;
            }
        }
        std::vector<std::string> args = {"redis-server",
                                         "--port", std::to_string(node.port),
                                         "--bind", "127.0.0.1",
                                         "--dir", node.dir.string(),
                                         "--logfile", (node.dir / "redis.log").string(),
                                         "--daemonize", "no",
                                         "--save", "",
                                         "--appendonly", "no",
                                         "--cluster-enabled", "yes",
                                         "--cluster-config-file", (node.dir / "nodes.conf").string(),
                                         "--cluster-node-timeout", "1000",
                                         "--cluster-require-full-coverage", "yes",
                                         // A replica takes over however long its link was down.
                                         "--cluster-replica-validity-factor", "0",
                                         // A replica's first sync starts at once instead of
                                         // after 5 s of waiting for more replicas.
                                         "--repl-diskless-sync-delay", "0"};
        const pid_t parent = getpid();
        node.pid = fork();
        if (node.pid == 0) {
            // A test binary that dies (a crash, ctest's timeout) takes its
            // nodes with it instead of leaving a cluster behind.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(kServer, argv.data());
            _exit(127);
        }
        const auto deadline = Clock::now() + kNodeStart;
        while (Clock::now() < deadline) {
            if (waitpid(node.pid, nullptr, WNOHANG) == node.pid) {
                node.pid = -1;
                break;
            }
            // The answer must come from this process: another test's server
            // may have taken the port first.
            Reply r = _ask(node.port, {"INFO", "server"});
            if (_is(r.get(), REDIS_REPLY_STRING)) {
                if (_fields(_text(r.get()))["process_id"] == std::to_string(node.pid)) return true;
            }
            std::this_thread::sleep_for(kPoll);
        }
        if (node.pid > 0) {
            kill(node.pid, SIGKILL);
            waitpid(node.pid, nullptr, 0);
            node.pid = -1;
        }
    }
    return false;
}

bool RedisCluster::create() {
    std::vector<std::string> args = {"--cluster", "create"};
    for (const Node& node : nodes_) args.push_back("127.0.0.1:" + std::to_string(node.port));
    args.insert(args.end(), {"--cluster-replicas", std::to_string(options_.replicas_per_primary), "--cluster-yes"});
    Job cli(start_program(kCli, dir_, program_env(), "", std::nullopt, args));
    const RunResult r = cli.finish(kCliLimit);
    EXPECT_TRUE(r.status == 0 && !r.timed_out) << "redis-cli --cluster create: " << r.status << "\n" << r.out << r.err;
    return r.status == 0 && !r.timed_out;
}

RedisCluster::Node* RedisCluster::find(int port) {
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [port](const Node& n) { return n.port == port; });
    return it == nodes_.end() ? nullptr : &*it;
}

const RedisCluster::Node* RedisCluster::find(int port) const {
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [port](const Node& n) { return n.port == port; });
    return it == nodes_.end() ? nullptr : &*it;
}

std::vector<int> RedisCluster::live_ports() const {
    std::vector<int> ports;
    for (const Node& node : nodes_) {
        if (node.pid > 0) ports.push_back(node.port);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::vector<int> RedisCluster::primary_ports() const {
    std::vector<int> ports;
    for (int port : live_ports()) {
        const std::optional<Role> role = _role(port);
        if (role && role->name == "master") ports.push_back(port);
    }
    return ports;
}

std::vector<int> RedisCluster::replica_ports() const {
    std::vector<int> ports;
    for (int port : live_ports()) {
        const std::optional<Role> role = _role(port);
        if (role && role->name == "slave") ports.push_back(port);
    }
    return ports;
}

std::string RedisCluster::addresses() const {
    std::string out;
    for (int port : primary_ports()) out += (out.empty() ? "" : " ") + std::string("127.0.0.1:") + std::to_string(port);
    return out;
}

std::string RedisCluster::node_id(int port) const { return run(port, {"CLUSTER", "MYID"}).value_or(""); }

int RedisCluster::owner_of(int slot) const {
    for (const auto& [first, last, owner] : _slot_ranges(live_ports()).value_or(SlotRanges{})) {
        if (first <= slot && slot <= last) return owner;
    }
    return 0;
}

std::vector<int> RedisCluster::slots_of(int port) const {
    std::vector<int> slots;
    for (const auto& [first, last, owner] : _slot_ranges(live_ports()).value_or(SlotRanges{})) {
        for (int slot = first; owner == port && slot <= last; ++slot) slots.push_back(slot);
    }
    return slots;
}

int RedisCluster::slot_of(const std::string& key) {
    std::string_view hashed = key;
    const std::size_t open = key.find('{');
    if (open != std::string::npos) {
        const std::size_t close = key.find('}', open + 1);
        if (close != std::string::npos && close > open + 1) hashed = hashed.substr(open + 1, close - open - 1);
    }
    // CRC16/XMODEM: polynomial 0x1021, initial value 0, bits not reflected,
    // no final xor.
    uint16_t crc = 0;
    for (unsigned char byte : hashed) {
        crc = static_cast<uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc % kSlots;
}

std::optional<std::string> RedisCluster::run(int port, const std::vector<std::string>& args) const {
    Reply r = _ask(port, args);
    EXPECT_TRUE(r && r->type != REDIS_REPLY_ERROR)
        << "127.0.0.1:" << port << " " << args.front() << ": " << (r ? _text(r.get()) : "no answer");
    if (!r || r->type == REDIS_REPLY_NIL || r->type == REDIS_REPLY_ERROR || r->type == REDIS_REPLY_ARRAY) {
        return std::nullopt;
    }
    return _text(r.get());
}

std::vector<std::string> RedisCluster::array(int port, const std::vector<std::string>& args) const {
    Reply r = _ask(port, args);
    EXPECT_TRUE(r && r->type != REDIS_REPLY_ERROR)
        << "127.0.0.1:" << port << " " << args.front() << ": " << (r ? _text(r.get()) : "no answer");
    std::vector<std::string> items;
    for (std::size_t i = 0; r && r->type == REDIS_REPLY_ARRAY && i < r->elements; ++i) {
        items.push_back(_text(r->element[i]));
    }
    return items;
}

RedisCluster::Job RedisCluster::reshard_start(int from_port, int to_port, int slots) const {
    const std::vector<std::string> args = {"--cluster", "reshard", "127.0.0.1:" + std::to_string(from_port),
                                           "--cluster-from", node_id(from_port),
                                           "--cluster-to", node_id(to_port),
                                           "--cluster-slots", std::to_string(slots),
                                           "--cluster-yes"};
    return Job(start_program(kCli, dir_, program_env(), "", std::nullopt, args));
}

void RedisCluster::reshard(int from_port, int to_port, int slots) {
    Job cli = reshard_start(from_port, to_port, slots);
    const RunResult r = cli.finish(kCliLimit);
    EXPECT_TRUE(r.status == 0 && !r.timed_out) << "redis-cli --cluster reshard: " << r.status << "\n"
                                               << _last_lines(r.out, 20) << r.err;
    settle();
}

void RedisCluster::fail_primary(int port) {
    Node* node = find(port);
    const std::optional<Role> role = node && node->pid > 0 ? _role(port) : std::nullopt;
    ASSERT_TRUE(role && role->name == "master") << "127.0.0.1:" << port << " is no live primary";
    node->replicas.clear();
    for (int other : live_ports()) {
        const std::optional<Role> r = _role(other);
        if (r && r->name == "slave" && r->primary_port == port) node->replicas.push_back(other);
    }
    kill(node->pid, SIGKILL);
    waitpid(node->pid, nullptr, 0);
    node->pid = -1;
    node->killed_at = Clock::now();
}

milliseconds RedisCluster::wait_failover(int old_port) {
    const Node* node = find(old_port);
    if (!node || node->pid > 0) {
        ADD_FAILURE() << "127.0.0.1:" << old_port << " was not failed";
        return milliseconds(0);
    }
    const auto deadline = node->killed_at + kFailoverLimit;
    std::string why;
    for (;;) {
        const bool promoted = std::any_of(node->replicas.begin(), node->replicas.end(), [](int port) {
            const std::optional<Role> role = _role(port);
            return role && role->name == "master";
        });
        why = promoted ? unready() : "no replica of 127.0.0.1:" + std::to_string(old_port) + " is a primary";
        if (why.empty()) return std::chrono::duration_cast<milliseconds>(Clock::now() - node->killed_at);
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(kPoll);
    }
    ADD_FAILURE() << "no failover within " << kFailoverLimit.count() << " s: " << why << "\n" << log_tails();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - node->killed_at);
}

void RedisCluster::restart(int port) {
    Node* node = find(port);
    ASSERT_TRUE(node && node->pid <= 0) << "127.0.0.1:" << port << " was not failed";
    ASSERT_TRUE(start_node(*node)) << "127.0.0.1:" << port << " did not start again\n"
                                   << _tail(node->dir / "redis.log", 20);
    settle();
}

void RedisCluster::set_config(const std::string& name, const std::string& value) const {
    for (int port : live_ports()) EXPECT_EQ(run(port, {"CONFIG", "SET", name, value}), "OK") << name << " " << value;
}

std::string RedisCluster::unready() const {
    const std::string count = std::to_string(nodes_.size());
    std::optional<SlotRanges> first;
    for (int port : live_ports()) {
        const std::string node = "127.0.0.1:" + std::to_string(port) + ": ";
        Reply info = _ask(port, {"CLUSTER", "INFO"});
        if (!_is(info.get(), REDIS_REPLY_STRING)) return node + "no answer";
        std::map<std::string, std::string> f = _fields(_text(info.get()));
        if (f["cluster_state"] != "ok") return node + "cluster_state:" + f["cluster_state"];
        if (f["cluster_slots_ok"] != std::to_string(kSlots)) return node + "cluster_slots_ok:" + f["cluster_slots_ok"];
        if (f["cluster_known_nodes"] != count) return node + "cluster_known_nodes:" + f["cluster_known_nodes"];
        const std::optional<Role> role = _role(port);
        if (!role) return node + "no role";
        if (role->name == "slave" && !role->linked) return node + "replica not linked to its primary";
        const std::optional<SlotRanges> ranges = _slot_ranges(port);
        if (!ranges) return node + "no CLUSTER SLOTS";
        if (!first) first = ranges;
        if (*ranges != *first) return node + "CLUSTER SLOTS differs from the other nodes'";
    }
    return "";
}

bool RedisCluster::settle(milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    std::string why;
    for (;;) {
        why = unready();
        if (why.empty()) return true;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(kPoll);
    }
    ADD_FAILURE() << "the cluster did not settle within " << limit.count() << " ms: " << why << "\n" << log_tails();
    return false;
}

std::string RedisCluster::log_tails() const {
    std::string out;
    for (const Node& node : nodes_) {
        out += "--- 127.0.0.1:" + std::to_string(node.port) + (node.pid > 0 ? "" : " (stopped)") + "\n" +
               _tail(node.dir / "redis.log", 8);
    }
    return out;
}

}  // namespace vorn::test
