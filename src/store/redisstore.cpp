// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/redisstore.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "base/siphash.h"
#include "base/support.h"
#include "base/util.h"
#include "gdbm/dbdump.h"
#include "gdbm/dbutil.h"
#include "store/increment.h"
#include "store/redis.h"
#include "store/visits.h"

namespace vorn {

namespace {

constexpr int kHoursPerDay = 24;
// How often a change is tried again when another host changed the counter
// between its reads and its writes.
constexpr int kChangeAttempts = 20;
constexpr std::size_t kMaxPasswordFile = 4096;
// A day's salt lives a day and an hour: a request just before midnight
// still finds the salt it was counted under.
constexpr int kSaltSeconds = 25 * 3600;

// One visit, on the server in one step: nothing is written for a counter
// that is not in the set, and the texts rise as support_counterupdate
// raises them (kIncrementScript), so a Redis counter holds exactly the
// texts of a gdbm one.
constexpr char kVisitBody[] = R"lua(
if redis.call('SISMEMBER', KEYS[2], ARGV[1]) == 0 then return false end
local total = up(redis.call('HGET', KEYS[1], 'totcnt'))
local hour = up(redis.call('HGET', KEYS[1], ARGV[2]))
redis.call('HSET', KEYS[1], 'totcnt', total, ARGV[2], hour)
if total == '1' then redis.call('HSET', KEYS[1], 'startdate', ARGV[2]) end
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

// The server of one store and the one connection a request makes to it.

class RedisLink {
public:
    RedisLink(RedisAddress address, std::optional<std::string> password, std::string prefix)
        : address_(std::move(address)), password_(std::move(password)), prefix_(std::move(prefix)) {}

    const RedisAddress& address() const { return address_; }
    const std::string& prefix() const { return prefix_; }
    std::string describe() const { return "redis " + redis_describe(address_); }

    RedisReply command(const std::vector<std::string>& args) { return redis_command(context(), address_, args); }
    std::vector<RedisReply> pipeline(const std::vector<std::vector<std::string>>& commands) {
        return redis_pipeline(context(), address_, commands);
    }
    std::optional<std::string> text(const RedisReply& reply) const { return redis_text(reply.get(), address_); }

    [[noreturn]] void missing(const std::string& name) const {
        support_errormsg("Counter (%s) not found in redis (%s)", name.c_str(), redis_describe(address_).c_str());
    }

private:
    redisContext* context() {
        if (!context_) context_ = redis_connect(address_, password_, kRedisWait);
        return context_.get();
    }

    RedisAddress address_;
    std::optional<std::string> password_;
    std::string prefix_;
    RedisContext context_;
};

// Ends a WATCH whose change was given up, whatever the connection's state.
void _redisstore_unwatch(RedisLink& link) {
    try {
        link.command({"UNWATCH"});
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
    std::optional<std::string> hex = link.text(link.command({"GET", key}));
    if (!hex) {
        link.command({"SET", key, visits_salttext(visits_newsalt()), "NX", "EX", std::to_string(kSaltSeconds)});
        hex = link.text(link.command({"GET", key}));
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

// Deletes the keys that match the glob `pattern`, walking them with SCAN.
void _redisstore_deletematching(RedisLink& link, const std::string& pattern) {
    std::string cursor = "0";
    do {
        RedisReply reply = link.command({"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
        if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
            reply->element[1]->type != REDIS_REPLY_ARRAY) {
            support_errormsg("Redis error. Unexpected reply (%s)", redis_describe(link.address()).c_str());
        }
        cursor = redis_text(reply->element[0], link.address()).value_or("0");
        std::vector<std::string> del = {"DEL"};
        for (std::size_t i = 0; i < reply->element[1]->elements; ++i) {
            del.push_back(redis_text(reply->element[1]->element[i], link.address()).value_or(""));
        }
        if (del.size() > 1) link.command(del);
    } while (cursor != "0");
}

// Removes every remembered visit and rate step of counter `name`. Such a
// key ends in the 16 hex digits of its hash, so the pattern matches this counter's keys and
// never those of a counter whose name only begins with `name` (as "a" and
// "a:b"). SCAN walks the keys in steps; a visit remembered meanwhile by a
// request that began before the counter went is at most one more.
void _redisstore_forgetvisits(RedisLink& link, const std::string& name) {
    for (const char* kind : {"visits:", "rate:"}) {
        std::string pattern = _redisstore_globliteral(link.prefix() + kind + name + ":");
        for (int i = 0; i < 16; ++i) pattern += "[0-9a-f]";
        _redisstore_deletematching(link, pattern);
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
        const std::string rate = ask.rate_identity ? _key("rate:", *ask.rate_identity) : _key("rate:", "");
        const std::string repeat = ask.repeat_identity ? _key("visits:", *ask.repeat_identity) : _key("visits:", "");
        const std::string when = std::to_string(static_cast<long long>(now));
        RedisReply reply = link_->command(
            {"EVAL", kAdmitScript, "2", rate, repeat, when, std::to_string(ask.rate_identity ? ask.rate_limit : 0),
             std::to_string(ask.rate_window), std::to_string(ask.repeat_identity ? ask.repeat_window : 0)});
        if (reply->type != REDIS_REPLY_INTEGER) {
            support_errormsg("Redis error. Unexpected reply (%s)", redis_describe(link_->address()).c_str());
        }
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
            link_->pipeline(remembered_);
        } catch (...) {
            // The visitor stays remembered until the window ends.
        }
        remembered_.clear();
    }

private:
    // The key of `identity`'s hash among the counter's keys of `kind`.
    std::string _key(const char* kind, const std::string& identity) const {
        return link_->prefix() + kind + name_ + ":" + visits_hash(salt_, name_, identity);
    }

    std::shared_ptr<RedisLink> link_;
    std::string name_;
    SipHashKey salt_;
    std::vector<std::vector<std::string>> remembered_;  // what undoes the admitted visit
};

class RedisCounter : public Counter {
public:
    RedisCounter(std::shared_ptr<RedisLink> link, std::string name)
        : link_(std::move(link)),
          name_(std::move(name)),
          key_(link_->prefix() + "counter:" + name_),
          set_(link_->prefix() + "counters") {}

    const std::string& name() const override { return name_; }
    std::string where() const override { return link_->describe() + " " + key_; }

    bool exists() override {
        RedisReply reply = link_->command({"SISMEMBER", set_, name_});
        return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
    }

    void require() override {
        if (!exists()) link_->missing(name_);
    }

    std::string visit(const std::string& hour) override {
        daysums_.clear();
        RedisReply reply = link_->command({"EVAL", std::string(kIncrementScript) + kVisitBody, "2", key_, set_, name_, hour});
        std::optional<std::string> total = link_->text(reply);
        if (!total) link_->missing(name_);
        return *total;
    }

    std::optional<std::string> get(const std::string& key) override {
        return link_->text(link_->command({"HGET", key_, key}));
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
            std::vector<std::string> args = {"HMGET", key_};
            args.reserve(2 + missing.size() * kHoursPerDay);
            for (const std::string& day : missing) {
                for (int h = 0; h < kHoursPerDay; ++h) args.push_back(store_subkey(day, h));
            }
            RedisReply reply = link_->command(args);
            if (reply->type != REDIS_REPLY_ARRAY || reply->elements != args.size() - 2) {
                support_errormsg("Redis error. Unexpected reply (%s)", redis_describe(link_->address()).c_str());
            }
            std::vector<long> sums(missing.size(), 0);
            for (std::size_t i = 0; i < reply->elements; ++i) {
                std::optional<std::string> value = redis_text(reply->element[i], link_->address());
                if (value) sums[i / kHoursPerDay] = util_addcount(sums[i / kHoursPerDay], util_tolong(*value));
            }
            for (std::size_t i = 0; i < missing.size(); ++i) daysums_[missing[i]] = sums[i];
        }
        std::vector<long> sums;
        sums.reserve(days.size());
        for (const std::string& day : days) sums.push_back(daysums_.at(day));
        return sums;
    }

    std::vector<std::optional<std::string>> snapshot(const std::vector<std::string>& keys) override {
        // One HMGET: the server answers it whole, between two other commands.
        std::vector<std::string> args = {"HMGET", key_};
        args.insert(args.end(), keys.begin(), keys.end());
        RedisReply reply = link_->command(args);
        if (reply->type != REDIS_REPLY_ARRAY || reply->elements != keys.size()) {
            support_errormsg("Redis error. Unexpected reply (%s)", redis_describe(link_->address()).c_str());
        }
        std::vector<std::optional<std::string>> values;
        values.reserve(keys.size());
        for (std::size_t i = 0; i < reply->elements; ++i) {
            values.push_back(redis_text(reply->element[i], link_->address()));
        }
        return values;
    }

    std::vector<DbRecord> records() override {
        std::vector<DbRecord> all;
        RedisReply reply = link_->command({"HGETALL", key_});
        for (std::size_t i = 0; reply->type == REDIS_REPLY_ARRAY && i + 1 < reply->elements; i += 2) {
            DbRecord record;
            record.key = redis_text(reply->element[i], link_->address()).value_or("");
            record.value = redis_text(reply->element[i + 1], link_->address()).value_or("");
            all.push_back(std::move(record));
        }
        return all;
    }

    void change(const StoreEdit& edit) override {
        daysums_.clear();
        // Read, decide and write under WATCH: the writes are applied only
        // when nobody changed the counter (or the set) since the reads, and
        // are tried again otherwise.
        for (int attempt = 0; attempt < kChangeAttempts; ++attempt) {
            link_->command({"WATCH", key_, set_});
            if (!exists()) {
                _redisstore_unwatch(*link_);
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
                _redisstore_unwatch(*link_);
                throw;
            }
            if (changes.empty()) {
                link_->command({"UNWATCH"});
                return;
            }
            std::vector<std::vector<std::string>> commands = {{"MULTI"}};
            for (const DbChange& c : changes) {
                commands.push_back(c.value ? std::vector<std::string>{"HSET", key_, c.key, *c.value}
                                           : std::vector<std::string>{"HDEL", key_, c.key});
            }
            commands.push_back({"EXEC"});
            std::vector<RedisReply> replies = link_->pipeline(commands);
            if (replies.back()->type != REDIS_REPLY_NIL) return;
        }
        support_errormsg("Redis error. The counter kept changing; try again (%s)",
                         redis_describe(link_->address()).c_str());
    }

    bool create() override {
        RedisReply reply = link_->command({"SADD", set_, name_});
        return reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
    }

    void remove() override {
        require();
        link_->pipeline({{"MULTI"}, {"DEL", key_}, {"SREM", set_, name_}, {"EXEC"}});
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
        // the name is in its set of counters.
        readable = false;
        try {
            if (!exists()) return {{"missing", "no such counter (" + where() + ")"}};
        } catch (const ErrorAnswer& e) {
            return {{"open", e.message() + ": is the server running, and are REDIS_ADDR and REDIS_PASSWORD_FILE right?"}};
        }
        readable = true;
        return {};
    }

    // The server applies each visit and change whole and keeps no file
    // that could be left damaged or half changed.
    Repair repair() override { return Repair{}; }

private:
    std::shared_ptr<RedisLink> link_;
    std::string name_;
    std::string key_;
    std::string set_;
    std::map<std::string, long> daysums_;
};

class RedisStore : public CounterStore {
public:
    explicit RedisStore(std::shared_ptr<RedisLink> link) : link_(std::move(link)) {}

    const char* kind() const override { return "redis"; }
    std::string describe() const override { return link_->describe(); }
    const char* sizeunit() const override { return "records"; }

    std::unique_ptr<Counter> counter(const std::string& name) override {
        if (!util_safename(name)) {
            support_errormsg("Invalid counter name ('%s'): a name may not hold '/' or '..'", name.c_str());
        }
        if (name.size() > kMaxRedisName) {
            support_errormsg("Counter name too long (%zu characters, at most %zu)", name.size(), kMaxRedisName);
        }
        return std::make_unique<RedisCounter>(link_, name);
    }

    std::vector<std::string> names() override {
        std::vector<std::string> names;
        RedisReply reply = link_->command({"SMEMBERS", link_->prefix() + "counters"});
        for (std::size_t i = 0; reply->type == REDIS_REPLY_ARRAY && i < reply->elements; ++i) {
            names.push_back(redis_text(reply->element[i], link_->address()).value_or(""));
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<Finding> inspectname(const std::string&) override { return {}; }
    std::vector<Finding> inspect(const std::optional<WebUser>&, bool) override { return {}; }

private:
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

std::unique_ptr<CounterStore> redisstore_open(const CGICONFIG& config) {
    std::optional<RedisAddress> address = redis_parseaddress(config.redis_addr);
    if (!address) {
        support_errormsg(
            "Configuration error. REDIS_ADDR: '%s' is not HOST:PORT, [IPv6]:PORT or a socket path (%s)",
            config.redis_addr.c_str(), kConfigFile);
    }
    return std::make_unique<RedisStore>(
        std::make_shared<RedisLink>(*address, _redisstore_password(config.redis_password_file), config.redis_prefix));
}

}  // namespace vorn
