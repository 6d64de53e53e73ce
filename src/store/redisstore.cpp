// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/redisstore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "base/siphash.h"
#include "base/support.h"
#include "base/util.h"
#include "gdbm/dbdump.h"
#include "gdbm/dbutil.h"
#include "store/increment.h"
#include "store/redis.h"
#include "store/rediscluster.h"
#include "store/visits.h"

namespace vorn {

namespace {

constexpr int kHoursPerDay = 24;
// How often a change is tried again when another host changed the counter
// between its reads and its writes.
constexpr int kChangeAttempts = 20;
// The wait before a change is tried again, doubled at each try up to the most.
constexpr std::chrono::milliseconds kChangeBackoff{1}, kMaxChangeBackoff{64};
constexpr std::size_t kMaxPasswordFile = 4096;
// A day's salt lives a day and an hour: a request just before midnight
// still finds the salt it was counted under.
constexpr int kSaltSeconds = 25 * 3600;
// How long a visit on a cluster waits for a replica of its primary to
// confirm it: a visit answered with its count survives the primary's loss.
constexpr int kReplicaWaitMs = 500;

// The field of a counter's hash that marks the counter as existing: a
// counter without records is an empty hash to the program, and Redis keeps
// no empty hash. No record of a counter file has this name.
constexpr char kExistsField[] = "";

// One visit, on the server in one step: KEYS[1] the counter's hash, KEYS[2]
// its day, KEYS[3] its index of days; ARGV the hour's field, the hour's key
// ("%Y/%m/%d/%H", the start date at the first visit) and the day as a
// number (YYYYMMDD). Nothing is written for a counter that does not exist
// (false), and the texts rise as support_counterupdate raises them
// (kIncrementScript), so a Redis counter holds exactly the texts of a gdbm
// one.
constexpr char kVisitBody[] = R"lua(
local head = redis.call('HMGET', KEYS[1], '', 'totcnt')
if not head[1] then return false end
local total = up(head[2])
local old = redis.call('HGET', KEYS[2], ARGV[1])
if not old and redis.call('EXISTS', KEYS[2]) == 0 then redis.call('SADD', KEYS[3], ARGV[3]) end
redis.call('HSET', KEYS[2], ARGV[1], up(old))
redis.call('HSET', KEYS[1], 'totcnt', total)
if total == '1' then redis.call('HSET', KEYS[1], 'startdate', ARGV[2]) end
return total
)lua";


// The same for a counter still kept as before the move to one hash per day
// (KEYS[1] the set of names, KEYS[2] the counter's hash, ARGV[1] its name,
// ARGV[2] the hour): a site moves its counters with `vornctl migrate` while
// visits go on.
constexpr char kOldVisitBody[] = R"lua(
if redis.call('SISMEMBER', KEYS[1], ARGV[1]) == 0 then return false end
local total = up(redis.call('HGET', KEYS[2], 'totcnt'))
local hour = up(redis.call('HGET', KEYS[2], ARGV[2]))
redis.call('HSET', KEYS[2], 'totcnt', total, ARGV[2], hour)
if total == '1' then redis.call('HSET', KEYS[2], 'startdate', ARGV[2]) end
return total
)lua";

// A private directory for a scratch gdbm file, removed with all it holds:
// where a dump of a counter on the server is made and read.
class ScratchDir {
public:
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vornctl-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            support_errormsg("cannot make a scratch directory %s: %s", pattern.c_str(), std::strerror(errno));
        }
        dir_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file() const { return dir_ + "/counter.db"; }

private:
    std::string dir_;
};

// The nodes of one store, its prefix, and the keys of its counters. Every
// key of a counter carries the counter's name as its hash tag, so that a
// visit, a chart's reads and a change touch one hash slot of a cluster:
//   PREFIX{NAME}         the counter's hash: "totcnt", "startdate", any
//                        record that is no hour, and kExistsField;
//   PREFIX{NAME}d:DAY    a hash per day ("YYYY/MM/DD"): a field per hour
//                        ("HH"), small enough for Redis' compact encoding;
//   PREFIX{NAME}i        the set of its days as numbers (YYYYMMDD);
//   PREFIX{NAME}v:HASH   a visitor counted lately (REPEAT_MINUTES);
//   PREFIX{NAME}r:HASH   an address's counted moments (RATE_LIMIT).
// Before that layout a counter was PREFIX counter:NAME and its name a member
// of PREFIX counters; such counters are read and counted as they are until
// `vornctl migrate` moves them.
class RedisLink {
public:
    RedisLink(std::shared_ptr<RedisNodes> nodes, std::string prefix)
        : nodes_(std::move(nodes)), prefix_(std::move(prefix)) {}

    RedisNodes& nodes() { return *nodes_; }
    const RedisAddress& address() const { return nodes_->first(); }
    const std::string& prefix() const { return prefix_; }
    std::string describe() const { return "redis " + nodes_->describe(); }

    std::string key(const std::string& name) const { return prefix_ + "{" + name + "}"; }
    std::string daykey(const std::string& name, const std::string& day) const { return key(name) + "d:" + day; }
    std::string indexkey(const std::string& name) const { return key(name) + "i"; }
    std::string oldkey(const std::string& name) const { return prefix_ + "counter:" + name; }
    std::string oldset() const { return prefix_ + "counters"; }

    // A command about the keys of the counter `name`.
    RedisReply command(const std::string& name, const std::vector<std::string>& args) {
        return nodes_->command(key(name), args);
    }
    std::vector<RedisReply> pipeline(const std::string& name, const std::vector<std::vector<std::string>>& commands) {
        return nodes_->pipeline(key(name), commands);
    }
    std::optional<std::string> text(const redisReply* reply) const { return redis_text(reply, address()); }

    [[noreturn]] void missing(const std::string& name) const {
        support_errormsg("Counter (%s) not found in redis (%s)", name.c_str(), nodes_->describe().c_str());
    }
    [[noreturn]] void unexpected() const {
        support_errormsg("Redis error. Unexpected reply (%s)", nodes_->describe().c_str());
    }

private:
    std::shared_ptr<RedisNodes> nodes_;
    std::string prefix_;
};

// The day ("YYYY/MM/DD") of an hour key, and the day as the number its index
// keeps.
std::string _redisstore_day(const std::string& hour) { return hour.substr(0, 10); }
std::string _redisstore_daynumber(const std::string& day) {
    return day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
}
std::string _redisstore_dayofnumber(const std::string& number) {
    return number.size() == 8 ? number.substr(0, 4) + "/" + number.substr(4, 2) + "/" + number.substr(6, 2) : "";
}

// Ends a WATCH of the counter `name` whose change was given up, whatever
// the connection's state.
void _redisstore_unwatch(RedisLink& link, const std::string& name) {
    try {
        link.command(name, {"UNWATCH"});
    } catch (...) {
        // A lost connection forgets its WATCH anyway.
    }
}

// The day's salt of the visitor hashes, shared by every host: the first
// host to need it on a day draws it, the others read it.
SipHashKey _redisstore_salt(RedisLink& link, std::time_t now) {
    std::tm tm{};
    char day[16] = "";
    if (localtime_r(&now, &tm)) std::strftime(day, sizeof day, "%Y%m%d", &tm);
    const std::string key = link.prefix() + "salt:" + day;
    RedisNodes& nodes = link.nodes();
    std::optional<std::string> hex = link.text(nodes.command(key, {"GET", key}).get());
    if (!hex) {
        nodes.command(key, {"SET", key, visits_salttext(visits_newsalt()), "NX", "EX", std::to_string(kSaltSeconds)});
        hex = link.text(nodes.command(key, {"GET", key}).get());
    }
    std::optional<SipHashKey> salt = hex ? visits_parsesalt(*hex) : std::nullopt;
    if (!salt) support_errormsg("Visits file error. Bad salt (%s)", key.c_str());
    return *salt;
}

// `text` as a literal part of a SCAN pattern: the glob characters are
// escaped.
std::string _redisstore_globliteral(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// Calls `found` with each key of the node `node` that matches the glob
// `pattern`, walking its keys with SCAN.
template <typename F>
void _redisstore_scan(RedisLink& link, const RedisAddress& node, const std::string& pattern, F found) {
    std::string cursor = "0";
    do {
        RedisReply reply = link.nodes().commandat(node, {"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
        if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
            reply->element[1]->type != REDIS_REPLY_ARRAY) {
            link.unexpected();
        }
        cursor = link.text(reply->element[0]).value_or("0");
        for (std::size_t i = 0; i < reply->element[1]->elements; ++i) found(link.text(reply->element[1]->element[i]).value_or(""));
    } while (cursor != "0");
}

// Removes every remembered visit and rate step of counter `name` (those of
// the layout before, too, on a single server). SCAN walks the keys in
// steps; a visit remembered meanwhile by a request that began before the
// counter went is at most one more.
void _redisstore_forgetvisits(RedisLink& link, const std::string& name) {
    const RedisAddress node = link.nodes().nodeof(link.key(name));
    std::vector<std::string> keys;
    const auto keep = [&keys](const std::string& key) { keys.push_back(key); };
    for (const char* kind : {"v:", "r:"}) _redisstore_scan(link, node, _redisstore_globliteral(link.key(name) + kind) + "*", keep);
    for (std::size_t at = 0; at < keys.size(); at += 1000) {
        std::vector<std::string> del = {"DEL"};
        del.insert(del.end(), keys.begin() + static_cast<long>(at), keys.begin() + static_cast<long>(std::min(keys.size(), at + 1000)));
        link.command(name, del);
    }
    if (link.nodes().cluster()) return;
    // Kept under a key of their own before: a key ends in the 16 hex digits
    // of its hash, so the pattern never matches those of a counter whose
    // name only begins with `name` (as "a" and "a:b").
    for (const char* kind : {"visits:", "rate:"}) {
        std::string pattern = _redisstore_globliteral(link.prefix() + kind + name + ":");
        for (int i = 0; i < 16; ++i) pattern += "[0-9a-f]";
        _redisstore_scan(link, node, pattern, [&](const std::string& key) { link.command(name, {"DEL", key}); });
    }
}

// The visit of RATE_LIMIT and REPEAT_MINUTES in one step: KEYS[1] is the
// list of the address's counted moments (newest first, at most the limit),
// KEYS[2] the visitor's key. ARGV: the moment, the limit (0: no rate
// limit), its window, the repeat window (0: no repeat rule). Answers 0 for
// a visit that counts (and is then remembered), 1 over the rate, 2 a repeat.
constexpr char kAdmitScript[] = R"lua(
local now, limit, rate_window, repeat_window = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3]), tonumber(ARGV[4])
if limit > 0 then
  while true do
    local oldest = redis.call('LINDEX', KEYS[1], -1)
    if not oldest or now - tonumber(oldest) < rate_window then break end
    redis.call('RPOP', KEYS[1])
  end
  if redis.call('LLEN', KEYS[1]) >= limit then return 1 end
end
if repeat_window > 0 and redis.call('EXISTS', KEYS[2]) == 1 then return 2 end
if limit > 0 then
  redis.call('LPUSH', KEYS[1], ARGV[1])
  redis.call('LTRIM', KEYS[1], 0, limit - 1)
  redis.call('EXPIRE', KEYS[1], rate_window)
end
if repeat_window > 0 then redis.call('SET', KEYS[2], ARGV[1], 'EX', repeat_window) end
return 0
)lua";

// The visitors of one counter counted lately: a key per visitor that
// expires when its window ends, and a list per address of its steps that
// expires with its window, so nothing needs pruning.
class RedisVisits : public VisitsStore {
public:
    RedisVisits(std::shared_ptr<RedisLink> link, std::string name, std::time_t now)
        : link_(std::move(link)), name_(std::move(name)), salt_(_redisstore_salt(*link_, now)) {}

    VisitsAnswer admit(const VisitsAsk& ask, std::time_t now) override {
        const std::string rate = _key("r:", ask.rate_identity.value_or(""));
        const std::string repeat = _key("v:", ask.repeat_identity.value_or(""));
        const std::string when = std::to_string(static_cast<long long>(now));
        RedisReply reply = link_->command(
            name_, link_->nodes().script(kAdmitScript, {rate, repeat},
                                         {when, std::to_string(ask.rate_identity ? ask.rate_limit : 0),
                                          std::to_string(ask.rate_window),
                                          std::to_string(ask.repeat_identity ? ask.repeat_window : 0)}));
        if (reply->type != REDIS_REPLY_INTEGER) link_->unexpected();
        if (reply->integer == 1) return VisitsAnswer::kOverRate;
        if (reply->integer == 2) return VisitsAnswer::kRepeat;
        remembered_.clear();
        if (ask.repeat_identity) remembered_.push_back({"DEL", repeat});
        if (ask.rate_identity) remembered_.push_back({"LREM", rate, "1", when});
        return VisitsAnswer::kCounted;
    }

    void forget() noexcept override {
        if (remembered_.empty()) return;
        try {
            link_->pipeline(name_, remembered_);
        } catch (...) {
            // The visitor stays remembered until the window ends.
        }
        remembered_.clear();
    }

private:
    // The key of `identity`'s hash among the counter's keys of `kind`.
    std::string _key(const char* kind, const std::string& identity) const {
        return link_->key(name_) + kind + visits_hash(salt_, name_, identity);
    }

    std::shared_ptr<RedisLink> link_;
    std::string name_;
    SipHashKey salt_;
    std::vector<std::vector<std::string>> remembered_;  // what undoes the admitted visit
};

// Where a counter is kept: in the present layout, in the one before (until
// `vornctl migrate` moves it), or nowhere.
enum class RedisLayout { kUnknown, kPresent, kBefore, kMissing };

class RedisCounter : public Counter {
public:
    RedisCounter(std::shared_ptr<RedisLink> link, std::string name)
        : link_(std::move(link)), name_(std::move(name)), key_(link_->key(name_)) {}

    const std::string& name() const override { return name_; }
    std::string where() const override { return link_->describe() + " " + key_; }

    bool exists() override { return _layout() != RedisLayout::kMissing; }

    void require() override {
        if (!exists()) link_->missing(name_);
    }

    std::string visit(const std::string& hour) override {
        daysums_.clear();
        const std::string day = _redisstore_day(hour);
        // A counter moved meanwhile is tried in its new place once more.
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::vector<std::vector<std::string>> commands = {link_->nodes().script(
                std::string(kIncrementScript) + kVisitBody, {key_, link_->daykey(name_, day), link_->indexkey(name_)},
                {hour.substr(11, 2), hour, _redisstore_daynumber(day)})};
            // On a cluster the visit is answered once a replica holds it too.
            const int replicas = link_->nodes().replicas(key_);
            if (replicas > 0) commands.push_back({"WAIT", "1", std::to_string(kReplicaWaitMs)});
            std::vector<RedisReply> replies = link_->pipeline(name_, commands);
            std::optional<std::string> total = link_->text(replies.front().get());
            if (total) {
                if (replicas > 0 && (replies.back()->type != REDIS_REPLY_INTEGER || replies.back()->integer < 1)) {
                    support_errormsg("Redis error. No replica confirmed the visit (%s)", link_->nodes().describe().c_str());
                }
                layout_ = RedisLayout::kPresent;
                return *total;
            }
            if (std::optional<std::string> before = _oldvisit(hour)) {
                layout_ = RedisLayout::kBefore;
                return *before;
            }
        }
        link_->missing(name_);
    }

    std::optional<std::string> get(const std::string& key) override {
        if (key == kExistsField) return std::nullopt;
        if (_layout() == RedisLayout::kBefore) return link_->text(_old({"HGET", link_->oldkey(name_), key}).get());
        if (store_ishour(key)) {
            return link_->text(link_->command(name_, {"HGET", link_->daykey(name_, _redisstore_day(key)), key.substr(11, 2)}).get());
        }
        return link_->text(link_->command(name_, {"HGET", key_, key}).get());
    }

    std::vector<long> daysums(const std::vector<std::string>& days) override {
        // Days read once are kept for the rest of the request: a chart
        // reads each day twice (its bar, then the period's total).
        std::vector<std::string> missing;
        std::set<std::string> asked;
        for (const std::string& day : days) {
            if (!daysums_.count(day) && asked.insert(day).second) missing.push_back(day);
        }
        if (!missing.empty()) {
            std::vector<long> sums(missing.size(), 0);
            if (_layout() == RedisLayout::kBefore) {
                _olddaysums(missing, sums);
            } else {
                // Each day's 24 hours by name (a field that is no hour is no
                // count), all in one reply.
                const std::vector<std::optional<std::string>> hours = _read({}, missing);
                for (std::size_t i = 0; i < hours.size(); ++i) {
                    if (hours[i]) sums[i / kHoursPerDay] = util_addcount(sums[i / kHoursPerDay], util_tolong(*hours[i]));
                }
            }
            for (std::size_t i = 0; i < missing.size(); ++i) daysums_[missing[i]] = sums[i];
        }
        std::vector<long> sums;
        sums.reserve(days.size());
        for (const std::string& day : days) sums.push_back(daysums_.at(day));
        return sums;
    }

    std::vector<std::optional<std::string>> snapshot(const std::vector<std::string>& keys) override {
        if (_layout() == RedisLayout::kBefore) {
            std::vector<std::string> args = {"HMGET", link_->oldkey(name_)};
            args.insert(args.end(), keys.begin(), keys.end());
            return _values(_old(args).get(), keys.size());
        }
        // One transaction: the server answers it whole, between two other
        // commands. The mark of an existing counter is no record. A chart
        // asks for the hours day after day, so a day is looked up in the
        // days asked only when it changes.
        std::vector<std::string> fields, days;
        std::map<std::string, std::size_t> day_of;
        std::vector<std::ptrdiff_t> where(keys.size(), -1);  // the place of each key's value; -1: none
        std::vector<std::size_t> field_of(keys.size(), 0);
        std::string last;
        std::size_t last_index = 0;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const std::string& key = keys[k];
            if (!store_ishour(key)) {
                if (key == kExistsField) continue;
                field_of[k] = fields.size();
                fields.push_back(key);
                continue;
            }
            if (key.compare(0, 10, last) != 0) {
                last = key.substr(0, 10);
                const auto [it, fresh] = day_of.emplace(last, days.size());
                if (fresh) days.push_back(last);
                last_index = it->second;
            }
            where[k] = static_cast<std::ptrdiff_t>(last_index * kHoursPerDay +
                                                   static_cast<std::size_t>((key[11] - '0') * 10 + (key[12] - '0')));
        }
        const std::vector<std::optional<std::string>> read = _read(fields, days);
        std::vector<std::optional<std::string>> values;
        values.reserve(keys.size());
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (where[k] >= 0) {
                values.push_back(read[fields.size() + static_cast<std::size_t>(where[k])]);
            } else {
                values.push_back(keys[k] == kExistsField ? std::nullopt : read[field_of[k]]);
            }
        }
        return values;
    }

    std::vector<DbRecord> records() override {
        std::vector<DbRecord> all;
        if (_layout() == RedisLayout::kBefore) {
            _pairs(_old({"HGETALL", link_->oldkey(name_)}).get(), "", all);
            return all;
        }
        std::vector<RedisReply> head = link_->pipeline(name_, {{"HGETALL", key_}, {"SMEMBERS", link_->indexkey(name_)}});
        _pairs(head[0].get(), "", all);
        std::vector<std::string> days;
        for (std::size_t i = 0; head[1]->type == REDIS_REPLY_ARRAY && i < head[1]->elements; ++i) {
            days.push_back(_redisstore_dayofnumber(link_->text(head[1]->element[i]).value_or("")));
        }
        if (days.empty()) return all;
        std::vector<std::vector<std::string>> commands;
        for (const std::string& day : days) commands.push_back({"HGETALL", link_->daykey(name_, day)});
        std::vector<RedisReply> replies = link_->pipeline(name_, commands);
        for (std::size_t d = 0; d < days.size(); ++d) _pairs(replies[d].get(), days[d] + "/", all);
        return all;
    }

    void change(const StoreEdit& edit) override {
        daysums_.clear();
        if (_layout() == RedisLayout::kBefore) {
            // A counter of the layout before is moved first, and changed in
            // its new place.
            _migrate();
            layout_ = RedisLayout::kPresent;
        }
        // Read, decide and write under WATCH: the writes are applied only
        // when nobody changed the counter since the reads, and are tried
        // again otherwise.
        for (int attempt = 0; attempt < kChangeAttempts; ++attempt) {
            const std::vector<std::string> watched = _watch();
            if (watched.empty()) {
                _redisstore_unwatch(*link_, name_);
                link_->missing(name_);
            }
            std::map<std::string, std::string> now;
            for (const DbRecord& r : records()) now[r.key] = r.value;
            std::vector<DbChange> changes;
            try {
                changes = edit([&](const std::string& key) -> std::optional<std::string> {
                    auto it = now.find(key);
                    if (it == now.end()) return std::nullopt;
                    return it->second;
                });
            } catch (...) {
                _redisstore_unwatch(*link_, name_);
                throw;
            }
            if (changes.empty()) {
                link_->command(name_, {"UNWATCH"});
                return;
            }
            std::vector<std::vector<std::string>> commands = {{"MULTI"}};
            for (std::vector<std::string>& write : _writes(now, changes)) commands.push_back(std::move(write));
            commands.push_back({"EXEC"});
            std::vector<RedisReply> replies = link_->pipeline(name_, commands);
            if (replies.back()->type != REDIS_REPLY_NIL) return;
            // Visits keep changing the counter: waiting a little longer
            // before each new try lets a change of many records find a
            // moment between them (at most about a second in all).
            std::this_thread::sleep_for(std::min(kChangeBackoff * (1 << attempt), kMaxChangeBackoff));
        }
        support_errormsg("Redis error. The counter kept changing; try again (%s)", link_->nodes().describe().c_str());
    }

    bool create() override {
        if (_layout() == RedisLayout::kBefore) return false;
        RedisReply reply = link_->command(name_, {"HSETNX", key_, kExistsField, "1"});
        layout_ = RedisLayout::kUnknown;
        return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
    }

    void remove() override {
        require();
        if (layout_ == RedisLayout::kBefore) {
            _old({"SREM", link_->oldset(), name_});
            _old({"DEL", link_->oldkey(name_)});
        } else {
            // Its days first, then the hash that makes it exist: a visit
            // in between counts into a day that goes with it.
            RedisReply index = link_->command(name_, {"SMEMBERS", link_->indexkey(name_)});
            std::vector<std::vector<std::string>> commands = {{"MULTI"}};
            for (std::size_t i = 0; index->type == REDIS_REPLY_ARRAY && i < index->elements; ++i) {
                commands.push_back({"DEL", link_->daykey(name_, _redisstore_dayofnumber(link_->text(index->element[i]).value_or("")))});
            }
            commands.push_back({"DEL", link_->indexkey(name_), key_});
            commands.push_back({"EXEC"});
            link_->pipeline(name_, commands);
        }
        layout_ = RedisLayout::kMissing;
        // The visitors it remembers go with it, so a counter made anew
        // under the name counts them at once.
        _redisstore_forgetvisits(*link_, name_);
    }

    std::unique_ptr<VisitsStore> visits(std::time_t now) override {
        return std::make_unique<RedisVisits>(link_, name_, now);
    }

    // A server keeps no file whose size could be shown: the number of
    // records instead (two, and one per hour with visits).
    long long size() override { return static_cast<long long>(records().size()); }

    void dump(std::FILE* out) override {
        // gdbm itself writes the dump, of a scratch file that holds the
        // records as vorncounter stores them in a counter file.
        std::vector<DbChange> changes;
        for (const DbRecord& record : records()) {
            store_requiretext(record, where());
            changes.push_back({record.key, record.value});
        }
        ScratchDir scratch;
        const std::string file = scratch.file();
        errno = 0;
        if (dbutil_create(file) != 1) support_errormsg("cannot create %s: %s", file.c_str(), std::strerror(errno));
        DbFile db = dbutil_open(file, DbMode::kWrite);
        if (!changes.empty()) dbutil_update(db, changes);
        dbdump_write(out, db);
    }

    void restore(std::FILE* dump, const std::string& dumpname) override {
        std::vector<DbRecord> records;
        {
            ScratchDir scratch;
            const std::string file = scratch.file();
            UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!fd) support_errormsg("cannot create %s: %s", file.c_str(), std::strerror(errno));
            dbdump_load(std::move(fd), file, dump, dumpname);
            DbFile db = dbutil_open(file, DbMode::kRead);
            dbutil_walk(db, [&](const DbRecord& record) { records.push_back(record); });
        }
        for (const DbRecord& record : records) store_requiretext(record, dumpname);
        if (!exists()) create();
        store_replace(*this, records);
    }

    std::vector<Finding> inspect(const std::optional<WebUser>&, bool, bool& readable) override {
        // A server keeps no files, journals or permissions: it answers, and
        // the counter is there, with no expiry on any of its keys.
        readable = false;
        try {
            if (!exists()) return {{"missing", "no such counter (" + where() + ")"}};
        } catch (const ErrorAnswer& e) {
            return {{"open", e.message() + ": is the server running, and are REDIS_ADDR and REDIS_PASSWORD_FILE right?"}};
        }
        readable = true;
        std::vector<Finding> found;
        if (layout_ == RedisLayout::kBefore) {
            found.push_back({"layout", "kept as before one hash per day (" + link_->oldkey(name_) +
                                           "): on a cluster it cannot be reached; " + store_ctl("migrate", "")});
            return found;
        }
        std::vector<std::string> keys = _keys();
        std::vector<std::vector<std::string>> commands;
        for (const std::string& key : keys) commands.push_back({"PTTL", key});
        std::vector<RedisReply> ttls = link_->pipeline(name_, commands);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (ttls[i]->type == REDIS_REPLY_INTEGER && ttls[i]->integer >= 0) {
                found.push_back({"expiry", "the key " + keys[i] + " expires in " + std::to_string(ttls[i]->integer / 1000) +
                                               " s, and the counter's records with it: PERSIST " + keys[i]});
            }
        }
        return found;
    }

    // The server applies each visit and change whole and keeps no file
    // that could be left damaged or half changed.
    Repair repair() override { return Repair{}; }

    // Moves a counter of the layout before into the present one, as one
    // transaction that no visit comes between (tried again when one came
    // between its read and its writes). False when it is no such counter.
    bool migrate() {
        if (_layout() != RedisLayout::kBefore) return false;
        _migrate();
        layout_ = RedisLayout::kPresent;
        return true;
    }

private:
    // The `fields` of the counter's hash, then the 24 hours of each of
    // `days` (a field of a day that is no hour is no count), read at one
    // moment: one transaction, in one round trip, of an HMGET of the fields
    // and an HGETALL per day. A day's HGETALL costs the server less than half
    // an HMGET naming its 24 hours, each of which it would look for in the
    // day's small hash one after another.
    std::vector<std::optional<std::string>> _read(const std::vector<std::string>& fields,
                                                  const std::vector<std::string>& days) {
        std::vector<std::vector<std::string>> commands = {{"MULTI"}};
        if (!fields.empty()) {
            commands.push_back({"HMGET", key_});
            commands.back().insert(commands.back().end(), fields.begin(), fields.end());
        }
        for (const std::string& day : days) commands.push_back({"HGETALL", link_->daykey(name_, day)});
        commands.push_back({"EXEC"});
        std::vector<RedisReply> replies = link_->pipeline(name_, commands);
        const redisReply* exec = replies.back().get();
        if (exec->type != REDIS_REPLY_ARRAY || exec->elements != commands.size() - 2) link_->unexpected();
        std::vector<std::optional<std::string>> values(fields.size() + days.size() * kHoursPerDay);
        std::size_t c = 0;
        if (!fields.empty()) {
            const redisReply* hash = exec->element[c++];
            if (hash->type != REDIS_REPLY_ARRAY || hash->elements != fields.size()) link_->unexpected();
            for (std::size_t i = 0; i < hash->elements; ++i) values[i] = link_->text(hash->element[i]);
        }
        for (std::size_t d = 0; c < exec->elements; ++c, ++d) {
            const redisReply* hash = exec->element[c];
            if (hash->type != REDIS_REPLY_ARRAY) link_->unexpected();
            const std::size_t base = fields.size() + d * kHoursPerDay;
            for (std::size_t i = 0; i + 1 < hash->elements; i += 2) {
                const redisReply* field = hash->element[i];
                if (field->type != REDIS_REPLY_STRING || field->len != 2) continue;
                const int hour = (field->str[0] - '0') * 10 + (field->str[1] - '0');
                if (field->str[0] < '0' || field->str[0] > '9' || field->str[1] < '0' || field->str[1] > '9' ||
                    hour >= kHoursPerDay)
                    continue;
                values[base + static_cast<std::size_t>(hour)] = link_->text(hash->element[i + 1]);
            }
        }
        return values;
    }

    RedisLayout _layout() {
        if (layout_ != RedisLayout::kUnknown) return layout_;
        // Looked for in its new place again when it was neither there nor
        // in its old one: `vornctl migrate` may have moved it in between.
        for (int look = 0; look < 2; ++look) {
            RedisReply reply = link_->command(name_, {"EXISTS", key_});
            if (reply->type == REDIS_REPLY_INTEGER && reply->integer == 1) return layout_ = RedisLayout::kPresent;
            if (_oldmember()) return layout_ = RedisLayout::kBefore;
        }
        return layout_ = RedisLayout::kMissing;
    }

    // A command about the counter's keys of the layout before, which a
    // single server alone can hold.
    RedisReply _old(const std::vector<std::string>& args) { return link_->nodes().command(link_->oldkey(name_), args); }

    bool _oldmember() {
        // A cluster never held the layout before (its keys of two slots
        // cannot meet in one script there).
        if (link_->nodes().cluster()) return false;
        RedisReply reply = _old({"SISMEMBER", link_->oldset(), name_});
        return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
    }

    std::optional<std::string> _oldvisit(const std::string& hour) {
        if (link_->nodes().cluster()) return std::nullopt;
        RedisReply reply = _old(link_->nodes().script(std::string(kIncrementScript) + kOldVisitBody,
                                                      {link_->oldset(), link_->oldkey(name_)}, {name_, hour}));
        return link_->text(reply.get());
    }

    void _olddaysums(const std::vector<std::string>& days, std::vector<long>& sums) {
        std::vector<std::string> args = {"HMGET", link_->oldkey(name_)};
        for (const std::string& day : days) {
            for (int h = 0; h < kHoursPerDay; ++h) args.push_back(store_subkey(day, h));
        }
        RedisReply reply = _old(args);
        if (reply->type != REDIS_REPLY_ARRAY || reply->elements != args.size() - 2) link_->unexpected();
        for (std::size_t i = 0; i < reply->elements; ++i) {
            std::optional<std::string> value = link_->text(reply->element[i]);
            if (value) sums[i / kHoursPerDay] = util_addcount(sums[i / kHoursPerDay], util_tolong(*value));
        }
    }

    void _migrate() {
        for (int attempt = 0; attempt < kChangeAttempts; ++attempt) {
            _old({"WATCH", link_->oldset(), link_->oldkey(name_)});
            if (!_oldmember()) {
                _old({"UNWATCH"});
                return;  // moved by another
            }
            std::vector<DbRecord> records;
            _pairs(_old({"HGETALL", link_->oldkey(name_)}).get(), "", records);
            std::map<std::string, std::string> none;
            std::vector<DbChange> changes = {{kExistsField, std::string("1")}};
            for (const DbRecord& r : records) changes.push_back({r.key, r.value});
            std::vector<std::vector<std::string>> commands = {{"MULTI"}};
            for (std::vector<std::string>& write : _writes(none, changes)) commands.push_back(std::move(write));
            commands.push_back({"SREM", link_->oldset(), name_});
            commands.push_back({"DEL", link_->oldkey(name_)});
            commands.push_back({"EXEC"});
            // A single server: the keys of both layouts on it.
            std::vector<RedisReply> replies = link_->nodes().pipeline(link_->oldkey(name_), commands);
            if (replies.back()->type != REDIS_REPLY_NIL) return;
        }
        support_errormsg("Redis error. The counter kept changing; try again (%s)", link_->nodes().describe().c_str());
    }

    // WATCHes every key of the counter; the keys, none when it is gone.
    std::vector<std::string> _watch() {
        link_->command(name_, {"WATCH", key_, link_->indexkey(name_)});
        std::vector<std::string> keys = _keys();
        std::vector<std::string> watch = {"WATCH"};
        watch.insert(watch.end(), keys.begin(), keys.end());
        link_->command(name_, watch);
        RedisReply exists = link_->command(name_, {"EXISTS", key_});
        if (exists->type != REDIS_REPLY_INTEGER || exists->integer != 1) return {};
        return keys;
    }

    // Every key that holds the counter's records: its hash, its index and
    // its days.
    std::vector<std::string> _keys() {
        std::vector<std::string> keys = {key_, link_->indexkey(name_)};
        RedisReply index = link_->command(name_, {"SMEMBERS", link_->indexkey(name_)});
        for (std::size_t i = 0; index->type == REDIS_REPLY_ARRAY && i < index->elements; ++i) {
            keys.push_back(link_->daykey(name_, _redisstore_dayofnumber(link_->text(index->element[i]).value_or(""))));
        }
        return keys;
    }

    // The commands that make `changes` of a counter whose records are
    // `now`: an hour in its day's hash (the day joining or leaving the
    // index with its first or last hour), any other record in the hash.
    std::vector<std::vector<std::string>> _writes(const std::map<std::string, std::string>& now,
                                                  const std::vector<DbChange>& changes) {
        std::map<std::string, int> hours;  // hours per day after the changes
        for (const auto& [key, value] : now) {
            if (store_ishour(key)) ++hours[_redisstore_day(key)];
        }
        std::set<std::string> touched;
        std::vector<std::vector<std::string>> writes;
        for (const DbChange& c : changes) {
            if (!store_ishour(c.key)) {
                writes.push_back(c.value ? std::vector<std::string>{"HSET", key_, c.key, *c.value}
                                         : std::vector<std::string>{"HDEL", key_, c.key});
                continue;
            }
            const std::string day = _redisstore_day(c.key);
            const bool had = now.count(c.key) > 0;
            if (c.value && !had) ++hours[day];
            if (!c.value && had) --hours[day];
            touched.insert(day);
            writes.push_back(c.value ? std::vector<std::string>{"HSET", link_->daykey(name_, day), c.key.substr(11, 2), *c.value}
                                     : std::vector<std::string>{"HDEL", link_->daykey(name_, day), c.key.substr(11, 2)});
        }
        for (const std::string& day : touched) {
            writes.push_back({hours[day] > 0 ? "SADD" : "SREM", link_->indexkey(name_), _redisstore_daynumber(day)});
        }
        return writes;
    }

    // Appends the field-value pairs of a hash reply as records, each key
    // after `prefix` (a day's "YYYY/MM/DD/"), but the field that marks the
    // counter as existing.
    void _pairs(const redisReply* reply, const std::string& prefix, std::vector<DbRecord>& out) {
        for (std::size_t i = 0; reply->type == REDIS_REPLY_ARRAY && i + 1 < reply->elements; i += 2) {
            DbRecord record;
            record.key = link_->text(reply->element[i]).value_or("");
            if (prefix.empty() && record.key == kExistsField) continue;
            record.key = prefix + record.key;
            record.value = link_->text(reply->element[i + 1]).value_or("");
            out.push_back(std::move(record));
        }
    }

    std::vector<std::optional<std::string>> _values(const redisReply* reply, std::size_t count) {
        if (reply->type != REDIS_REPLY_ARRAY || reply->elements != count) link_->unexpected();
        std::vector<std::optional<std::string>> values;
        values.reserve(count);
        for (std::size_t i = 0; i < reply->elements; ++i) values.push_back(link_->text(reply->element[i]));
        return values;
    }

    std::shared_ptr<RedisLink> link_;
    std::string name_;
    std::string key_;
    RedisLayout layout_ = RedisLayout::kUnknown;
    std::map<std::string, long> daysums_;
};

class RedisStore : public CounterStore {
public:
    explicit RedisStore(std::shared_ptr<RedisLink> link) : link_(std::move(link)) {}

    const char* kind() const override { return "redis"; }
    std::string describe() const override { return link_->describe(); }
    const char* sizeunit() const override { return "records"; }

    std::unique_ptr<Counter> counter(const std::string& name) override { return _counter(name); }

    std::vector<std::string> names() override {
        // A counter's hash is the one of its keys that ends in its hash tag.
        std::set<std::string> names;
        const std::string pattern = _redisstore_globliteral(link_->prefix() + "{") + "*}";
        const std::size_t skip = link_->prefix().size() + 1;
        for (const RedisAddress& node : link_->nodes().primaries()) {
            _redisstore_scan(*link_, node, pattern, [&](const std::string& key) {
                if (key.size() > skip) names.insert(key.substr(skip, key.size() - skip - 1));
            });
        }
        if (!link_->nodes().cluster()) {
            RedisReply reply = link_->nodes().command(link_->oldset(), {"SMEMBERS", link_->oldset()});
            for (std::size_t i = 0; reply->type == REDIS_REPLY_ARRAY && i < reply->elements; ++i) {
                names.insert(link_->text(reply->element[i]).value_or(""));
            }
        }
        return {names.begin(), names.end()};
    }

    std::vector<Finding> inspectname(const std::string&) override { return {}; }

    std::vector<Finding> inspect(const std::optional<WebUser>&, bool) override {
        // What makes a server lose counts: evicting keys when its memory is
        // full, keeping nothing across a restart, a cluster with slots that
        // no node serves.
        std::vector<Finding> found;
        RedisNodes& nodes = link_->nodes();
        std::vector<RedisAddress> primaries;
        try {
            primaries = nodes.primaries();
        } catch (const ErrorAnswer& e) {
            return {{"open", e.message() + ": is the server running, and are REDIS_ADDR and REDIS_PASSWORD_FILE right?"}};
        }
        for (const RedisAddress& node : primaries) {
            const std::string where = redis_describe(node);
            const std::string policy = _config(node, "maxmemory-policy");
            if (!policy.empty() && policy != "noeviction") {
                found.push_back({"eviction", where + " evicts keys when its memory is full (maxmemory-policy " + policy +
                                                 "), counters with them: CONFIG SET maxmemory-policy noeviction (and in "
                                                 "redis.conf)"});
            }
            if (_config(node, "save").empty() && _config(node, "appendonly") != "yes") {
                found.push_back({"persistence", where + " keeps nothing across a restart (no save, appendonly no): "
                                                        "CONFIG SET appendonly yes (and in redis.conf)"});
            }
        }
        if (nodes.cluster()) {
            RedisReply info = nodes.commandat(primaries.front(), {"CLUSTER", "INFO"});
            const std::string text = link_->text(info.get()).value_or("");
            const std::size_t at = text.find("cluster_slots_assigned:");
            const long assigned = at == std::string::npos ? 0 : std::atol(text.c_str() + at + 23);
            if (assigned < kRedisSlots || text.find("cluster_state:ok") == std::string::npos) {
                found.push_back({"slots", "the cluster serves " + std::to_string(assigned) + " of " +
                                              std::to_string(kRedisSlots) +
                                              " slots or is down: counters in the others answer errors; redis-cli "
                                              "--cluster fix " + redis_describe(primaries.front())});
            }
        }
        return found;
    }

    void ping() override {
        RedisNodes& nodes = link_->nodes();
        const std::vector<RedisAddress> primaries = nodes.primaries();
        for (const RedisAddress& node : primaries) {
            RedisReply reply = nodes.commandat(node, {"PING"});
            if (reply->type != REDIS_REPLY_STATUS) redis_fail("Unexpected reply", node);
        }
        if (nodes.cluster()) {
            RedisReply info = nodes.commandat(primaries.front(), {"CLUSTER", "INFO"});
            if (link_->text(info.get()).value_or("").find("cluster_state:ok") == std::string::npos) {
                redis_fail("CLUSTERDOWN The cluster is down", primaries.front());
            }
        }
    }

    std::vector<std::string> migrate() override {
        std::vector<std::string> moved;
        if (link_->nodes().cluster()) return moved;
        RedisReply reply = link_->nodes().command(link_->oldset(), {"SMEMBERS", link_->oldset()});
        for (std::size_t i = 0; reply->type == REDIS_REPLY_ARRAY && i < reply->elements; ++i) {
            const std::string name = link_->text(reply->element[i]).value_or("");
            if (_counter(name)->migrate()) moved.push_back(name);
        }
        std::sort(moved.begin(), moved.end());
        return moved;
    }

private:
    std::unique_ptr<RedisCounter> _counter(const std::string& name) {
        if (!util_safename(name)) {
            support_errormsg("Invalid counter name ('%s'): a name may not hold '/' or '..'", name.c_str());
        }
        if (name.size() > kMaxRedisName) {
            support_errormsg("Counter name too long (%zu characters, at most %zu)", name.size(), kMaxRedisName);
        }
        return std::make_unique<RedisCounter>(link_, name);
    }

    std::string _config(const RedisAddress& node, const char* name) {
        RedisReply reply = link_->nodes().commandat(node, {"CONFIG", "GET", name});
        if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2) return "";
        return link_->text(reply->element[1]).value_or("");
    }

    std::shared_ptr<RedisLink> link_;
};

// The password of REDIS_PASSWORD_FILE: its first line, without the line
// end. The password never appears in a message.
std::optional<std::string> _redisstore_password(const std::string& path) {
    if (path.empty()) return std::nullopt;
    UniqueFd fd = util_openfile(path);
    FilePtr f(fd ? fdopen(fd.get(), "r") : nullptr);
    if (f) fd.release();
    if (!f) {
        support_errormsg("Configuration error. REDIS_PASSWORD_FILE cannot be read (%s)", std::strerror(errno));
    }
    char buf[kMaxPasswordFile + 1];
    const std::size_t n = std::fread(buf, 1, sizeof buf, f.get());
    if (n > kMaxPasswordFile) {
        support_errormsg("Configuration error. REDIS_PASSWORD_FILE cannot be read (%s)", "larger than 4096 bytes");
    }
    std::string password(buf, n);
    password = password.substr(0, password.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace

std::unique_ptr<CounterStore> redisstore_open(const CGICONFIG& config, StoreKeep* keep) {
    std::optional<std::vector<RedisAddress>> addresses = rediscluster_parseaddresses(config.redis_addr);
    if (!addresses) {
        support_errormsg(
            "Configuration error. REDIS_ADDR: '%s' is not HOST:PORT, [IPv6]:PORT or a socket path (%s)",
            config.redis_addr.c_str(), kConfigFile);
    }
    std::optional<std::string> password = _redisstore_password(config.redis_password_file);
    std::shared_ptr<RedisNodes> nodes;
    if (keep && keep->redis && keep->redis->same(*addresses, password)) nodes = keep->redis;
    if (!nodes) nodes = std::make_shared<RedisNodes>(*addresses, password, kRedisWait);
    if (keep) keep->redis = nodes;
    return std::make_unique<RedisStore>(std::make_shared<RedisLink>(nodes, config.redis_prefix));
}

}  // namespace vorn
