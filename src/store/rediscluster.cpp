// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/rediscluster.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "base/sha1.h"
#include "base/support.h"

namespace vorn {

namespace {

// How often one command may be sent on: redirections, and pauses while a
// slot is being moved (bounded in time by kTryAgain * kTryAgainPause too).
constexpr int kMaxHops = 8;
constexpr int kTryAgain = 50;
constexpr std::chrono::milliseconds kTryAgainPause{20};

bool _rediscluster_starts(std::string_view text, std::string_view with) { return text.substr(0, with.size()) == with; }

std::string_view _rediscluster_error(const RedisReply& reply) {
    return reply->type == REDIS_REPLY_ERROR ? std::string_view(reply->str, reply->len) : std::string_view();
}

// The node of a redirection, "MOVED 3999 127.0.0.1:6381" or "ASK ...";
// nullopt when it names none.
std::optional<RedisAddress> _rediscluster_target(std::string_view error) {
    const std::size_t space = error.rfind(' ');
    if (space == std::string_view::npos) return std::nullopt;
    return redis_parseaddress(std::string(error.substr(space + 1)));
}

// What a node's redirection asks.
enum class Redirect { kNone, kMoved, kAsk, kTryAgain, kNoScript };

Redirect _rediscluster_redirect(std::string_view error) {
    if (_rediscluster_starts(error, "MOVED ")) return Redirect::kMoved;
    if (_rediscluster_starts(error, "ASK ")) return Redirect::kAsk;
    if (_rediscluster_starts(error, "TRYAGAIN")) return Redirect::kTryAgain;
    if (_rediscluster_starts(error, "NOSCRIPT")) return Redirect::kNoScript;
    return Redirect::kNone;
}

// The address of a node in a CLUSTER SLOTS entry [host, port, ...]; an
// empty host is the node that answered.
std::optional<RedisAddress> _rediscluster_node(const redisReply* entry, const RedisAddress& asked) {
    if (entry->type != REDIS_REPLY_ARRAY || entry->elements < 2 || entry->element[0]->type != REDIS_REPLY_STRING ||
        entry->element[1]->type != REDIS_REPLY_INTEGER) {
        return std::nullopt;
    }
    RedisAddress address;
    address.host = std::string(entry->element[0]->str, entry->element[0]->len);
    if (address.host.empty() || address.host == "?") address.host = asked.host;
    address.port = static_cast<int>(entry->element[1]->integer);
    return address;
}

}  // namespace

int rediscluster_slot(std::string_view key) {
    const std::size_t open = key.find('{');
    if (open != std::string_view::npos) {
        const std::size_t close = key.find('}', open + 1);
        if (close != std::string_view::npos && close > open + 1) key = key.substr(open + 1, close - open - 1);
    }
    std::uint16_t crc = 0;
    for (unsigned char byte : key) {
        crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc % kRedisSlots;
}

std::optional<std::vector<RedisAddress>> rediscluster_parseaddresses(const std::string& text) {
    std::vector<RedisAddress> addresses;
    std::size_t at = text.find_first_not_of(" \t");
    while (at != std::string::npos) {
        const std::size_t end = text.find_first_of(" \t", at);
        std::optional<RedisAddress> one = redis_parseaddress(text.substr(at, end - at));
        if (!one) return std::nullopt;
        addresses.push_back(*one);
        at = text.find_first_not_of(" \t", end);
    }
    if (addresses.empty()) return std::nullopt;
    return addresses;
}

RedisNodes::RedisNodes(std::vector<RedisAddress> seeds, std::optional<std::string> password,
                       std::chrono::milliseconds wait)
    : seeds_(std::move(seeds)), password_(std::move(password)), wait_(wait), cluster_(seeds_.size() > 1) {}

bool RedisNodes::same(const std::vector<RedisAddress>& seeds, const std::optional<std::string>& password) const {
    if (seeds.size() != seeds_.size() || password != password_) return false;
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        if (redis_describe(seeds[i]) != redis_describe(seeds_[i])) return false;
    }
    return true;
}

std::string RedisNodes::describe() const {
    std::string text;
    for (const RedisAddress& seed : seeds_) {
        if (!text.empty()) text += ' ';
        text += redis_describe(seed);
    }
    return text;
}

redisContext* RedisNodes::_connect(const RedisAddress& address) {
    const std::string name = redis_describe(address);
    auto it = contexts_.find(name);
    if (it != contexts_.end()) {
        // Between two commands a sound connection has nothing to read: one
        // that has (the server closed it, or restarted) is made anew.
        struct pollfd pfd {it->second->fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) == 0) return it->second.get();
        contexts_.erase(it);
    }
    RedisContext context = redis_connect(address, password_, wait_);
    return contexts_.emplace(name, std::move(context)).first->second.get();
}

bool RedisNodes::_loadmap(const RedisAddress& from) {
    RedisReply reply = std::move(redis_rawpipeline(_connect(from), from, {{"CLUSTER", "SLOTS"}}).front());
    if (reply->type == REDIS_REPLY_ERROR) {
        // A single server answers that it has no cluster support.
        cluster_ = false;
        mapped_ = true;
        return true;
    }
    if (reply->type != REDIS_REPLY_ARRAY) return false;
    std::vector<Range> ranges;
    for (std::size_t i = 0; i < reply->elements; ++i) {
        const redisReply* entry = reply->element[i];
        if (entry->type != REDIS_REPLY_ARRAY || entry->elements < 3) return false;
        Range range;
        range.first = static_cast<int>(entry->element[0]->integer);
        range.last = static_cast<int>(entry->element[1]->integer);
        const std::optional<RedisAddress> primary = _rediscluster_node(entry->element[2], from);
        if (!primary) return false;
        range.primary = *primary;
        range.replicas = static_cast<int>(entry->elements) - 3;
        ranges.push_back(range);
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    ranges_ = std::move(ranges);
    moved_.clear();
    cluster_ = true;
    mapped_ = true;
    return true;
}

void RedisNodes::_map() {
    std::optional<std::string> failure;
    std::vector<RedisAddress> candidates;
    if (reached_) candidates.push_back(*reached_);
    candidates.insert(candidates.end(), seeds_.begin(), seeds_.end());
    for (const RedisAddress& node : candidates) {
        try {
            if (_loadmap(node)) {
                if (!reached_) reached_ = node;
                return;
            }
        } catch (const ErrorAnswer& e) {
            if (!failure) failure = e.message();
        }
    }
    if (failure) support_errormsg("%s", failure->c_str());
    redis_fail("Unexpected reply", seeds_.front());
}

const RedisAddress& RedisNodes::_node(int slot) {
    if (cluster_) {
        if (auto it = moved_.find(slot); it != moved_.end()) return it->second;
        if (!mapped_) _map();
        for (const Range& range : ranges_) {
            if (slot >= range.first && slot <= range.last) return range.primary;
        }
        if (cluster_) redis_fail("CLUSTERDOWN Hash slot not served", reached_ ? *reached_ : seeds_.front());
    }
    if (!reached_) {
        // The first seed that can be reached serves every slot.
        std::optional<std::string> failure;
        for (const RedisAddress& seed : seeds_) {
            try {
                _connect(seed);
                reached_ = seed;
                break;
            } catch (const ErrorAnswer& e) {
                if (!failure) failure = e.message();
            }
        }
        if (!reached_) support_errormsg("%s", failure->c_str());
    }
    return *reached_;
}

RedisReply RedisNodes::command(std::string_view key, const std::vector<std::string>& args) {
    return std::move(pipeline(key, {args}).front());
}

std::vector<std::string> RedisNodes::script(const std::string& body, const std::vector<std::string>& keys,
                                            const std::vector<std::string>& args) {
    std::string sha = sha1_hex(body);
    scripts_.emplace(sha, body);
    std::vector<std::string> command = {"EVALSHA", std::move(sha), std::to_string(keys.size())};
    command.insert(command.end(), keys.begin(), keys.end());
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::vector<RedisReply> RedisNodes::pipeline(std::string_view key,
                                             const std::vector<std::vector<std::string>>& given) {
    const int slot = rediscluster_slot(key);
    std::vector<std::vector<std::string>> commands = given;
    std::optional<RedisAddress> ask;
    int pauses = 0;
    for (int hop = 0; hop < kMaxHops;) {
        const RedisAddress node = ask ? *ask : _node(slot);
        std::vector<std::vector<std::string>> asking;
        for (const auto& args : ask ? commands : asking) {
            // ASKING holds for the one command after it.
            asking.push_back({"ASKING"});
            asking.push_back(args);
        }
        std::vector<RedisReply> replies;
        try {
            replies = redis_rawpipeline(_connect(node), node, ask ? asking : commands);
        } catch (const ErrorAnswer&) {
            // A node that went away: a cluster's map is read anew by the
            // next command, which finds the replica that took its place.
            _forget(node);
            throw;
        }
        if (ask) {
            std::vector<RedisReply> own;
            for (std::size_t i = 1; i < replies.size(); i += 2) own.push_back(std::move(replies[i]));
            replies = std::move(own);
        }
        ask.reset();
        Redirect redirect = Redirect::kNone;
        std::string_view error;
        for (const RedisReply& reply : replies) {
            error = _rediscluster_error(reply);
            if (error.empty()) continue;
            redirect = _rediscluster_redirect(error);
            break;
        }
        if (error.empty()) return replies;
        if (redirect == Redirect::kNoScript) {
            // The node has not seen the script yet (or restarted): the
            // whole text once, which it keeps.
            bool whole = false;
            for (auto& args : commands) {
                const auto it = args.size() > 1 && args[0] == "EVALSHA" ? scripts_.find(args[1]) : scripts_.end();
                if (it == scripts_.end()) continue;
                args[0] = "EVAL";
                args[1] = it->second;
                whole = true;
            }
            if (!whole) redis_fail(std::string(error), node);
            ++hop;
            continue;
        }
        if (redirect == Redirect::kNone) {
            if (_rediscluster_starts(error, "CLUSTERDOWN")) _forget(node);
            redis_fail(std::string(error), node);
        }
        if (redirect == Redirect::kTryAgain || (redirect == Redirect::kAsk && commands.size() > 1)) {
            // A slot half moved: the keys are on their way; a moment later
            // they are all on one side.
            if (++pauses > kTryAgain) redis_fail(std::string(error), node);
            std::this_thread::sleep_for(kTryAgainPause);
            continue;
        }
        const std::optional<RedisAddress> target = _rediscluster_target(error);
        if (!target) redis_fail(std::string(error), node);
        cluster_ = true;
        if (redirect == Redirect::kMoved) {
            moved_[slot] = *target;
        } else {
            ask = target;
        }
        ++hop;
    }
    redis_fail("Too many redirections", seeds_.front());
}

void RedisNodes::_forget(const RedisAddress& node) {
    contexts_.erase(redis_describe(node));
    if (!cluster_) return;
    mapped_ = false;
    moved_.clear();
}

RedisReply RedisNodes::commandat(const RedisAddress& node, const std::vector<std::string>& args) {
    return redis_command(_connect(node), node, args);
}

std::vector<RedisAddress> RedisNodes::primaries() {
    if (cluster_ && !mapped_) _map();
    if (!cluster_) return {_node(0)};
    std::vector<RedisAddress> nodes;
    std::vector<std::string> seen;
    for (const Range& range : ranges_) {
        const std::string name = redis_describe(range.primary);
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
        seen.push_back(name);
        nodes.push_back(range.primary);
    }
    return nodes;
}

bool RedisNodes::cluster() {
    if (cluster_ && !mapped_) _map();
    return cluster_;
}

int RedisNodes::replicas(std::string_view key) {
    if (!cluster()) return 0;
    const int slot = rediscluster_slot(key);
    if (moved_.count(slot)) _map();
    for (const Range& range : ranges_) {
        if (slot >= range.first && slot <= range.last) return range.replicas;
    }
    return 0;
}

}  // namespace vorn
