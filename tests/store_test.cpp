// SPDX-License-Identifier: GPL-3.0-or-later
// What both counter stores must do alike (store/store.h), run over each of
// them: the gdbm files of a site, and a counter on a real redis-server
// started for the test. The store is reached only as the programs reach it
// (store_open, Counter, store_replace, compute_*); what it holds is planted
// and read around its code (a gdbm writer and gdbm_dump for a file, a
// connection of the test's own for the server).
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "counting/compute.h"
#include "harness.h"
#include "redis_cluster.h"
#include "redis_server.h"
#include "store/increment.h"

namespace vorn::test {
namespace {

using Fields = std::map<std::string, std::string>;
using Dump = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

enum class Kind { kGdbm, kRedis, kCluster };
void PrintTo(Kind kind, std::ostream* out) {
    *out << (kind == Kind::kGdbm ? "gdbm" : kind == Kind::kRedis ? "redis" : "cluster");
}

constexpr char kHour[] = "2001/03/11/15";

// One store of each kind in a place of its own: the save directory of a
// site, a server started for it, or a cluster of three primaries and their
// replicas.
class Backend {
public:
    explicit Backend(Kind kind) : kind_(kind) {
        if (kind_ == Kind::kRedis) server_.emplace();
        if (kind_ == Kind::kRedis && server_->running()) client_.emplace(server_->socket());
        if (kind_ == Kind::kCluster && RedisCluster::installed()) cluster_.emplace();
    }
    bool available() const {
        return kind_ == Kind::kGdbm || (server_ && server_->running()) || (cluster_ && cluster_->running());
    }
    CGICONFIG config() const {
        CGICONFIG config;
        config.dir_save = site_.path("save").string();
        config.dbfile_ext = "db";
        if (kind_ != Kind::kGdbm) {
            config.store = "redis";
            config.redis_addr = kind_ == Kind::kRedis ? server_->socket() : cluster_->addresses();
            config.redis_prefix = "vorncounter:";
        }
        return config;
    }
    std::unique_ptr<Counter> counter(const std::string& name) const { return store_open(config())->counter(name); }
    // Puts `fields` into the counter `name`, which exists afterwards.
    void plant(const std::string& name, const Fields& fields) {
        if (kind_ == Kind::kGdbm) return store_records(file(name), fields);
        redis_plant([this](const std::vector<std::string>& args) { return run(args); }, name, fields);
    }
    // Every record of the counter `name` (none when it does not exist). A
    // file is first opened by a writer: nothing the store did left it held.
    Fields stored(const std::string& name) {
        if (kind_ != Kind::kGdbm) {
            return redis_records([this](const std::vector<std::string>& args) { return array(args); }, name);
        }
        if (!fs::exists(file(name))) return {};
        store_records(file(name), {});
        return db_texts(file(name));
    }
    // What require says of the counter `name` while it does not exist.
    std::string missing(const std::string& name) const {
        if (kind_ == Kind::kGdbm) return "DB file (" + file(name).string() + ") not found";
        return "Counter (" + name + ") not found in redis (" + config().redis_addr + ")";
    }
    // One command at the server, or the cluster's node of its key.
    std::optional<std::string> run(const std::vector<std::string>& args) {
        return client_ ? client_->run(args) : cluster_->run_at(args.at(1), args);
    }
    std::vector<std::string> array(const std::vector<std::string>& args) {
        return client_ ? client_->array(args) : cluster_->array(cluster_->port_of(args.at(1)), args);
    }
    std::string key(const std::string& name) const { return "vorncounter:{" + name + "}"; }

private:
    fs::path file(const std::string& name) const { return site_.path("save/" + name + ".db"); }

    Kind kind_;
    TempSite site_{false};
    std::optional<RedisServer> server_;
    std::optional<RedisClient> client_;
    std::optional<RedisCluster> cluster_;
};

// The counter picture's count at `moment`: the hit counted (`days` absent),
// or the sum of the day so many days back.
std::string count(Counter& counter, std::time_t moment, std::optional<long> days = std::nullopt,
                  const CGICONFIG& config = {}) {
    return compute_count(counter, days, false, config, VISITOR{"GET", "127.0.0.1", "test"}, Clock(moment)).count;
}

std::vector<DbRecord> as_records(const Fields& fields) {
    std::vector<DbRecord> records;
    for (const auto& [k, v] : fields) records.push_back({k, v, true});
    return records;
}

// Every case starts with the store empty and `counter` named "c", not made.
class StoreBehaviour : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (!backend.available()) GTEST_SKIP() << "redis-server is not installed";
    }

    UtcZone zone;
    Backend backend{GetParam()};
    std::unique_ptr<Counter> counter = backend.counter("c");
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreBehaviour, testing::Values(Kind::kGdbm, Kind::kRedis, Kind::kCluster),
                         testing::PrintToStringParamName());

// A counter that does not exist is refused and made by no use but create;
// one removed is gone, and made anew it starts empty.
TEST_P(StoreBehaviour, CountersAreMadeRefusedAndRemoved) {
    EXPECT_FALSE(counter->exists());
    EXPECT_EQ(error_message([&] { counter->require(); }), backend.missing("c"));
    const StoreEdit edit = [](const StoreGet&) { return std::vector<DbChange>{{kTotalKey, "1"}}; };
    EXPECT_TRUE(error_message([&] { counter->change(edit); }));
    EXPECT_TRUE(error_message([&] { counter->visit(kHour); }));
    EXPECT_TRUE(error_message([&] { counter->remove(); }));
    EXPECT_TRUE(error_message([&] { store_replace(*counter, as_records({{kTotalKey, "1"}})); }));
    EXPECT_FALSE(counter->exists());

    EXPECT_TRUE(counter->create());
    EXPECT_TRUE(counter->exists());
    EXPECT_EQ(error_message([&] { counter->require(); }), std::nullopt);
    EXPECT_TRUE(counter->records().empty());
    backend.plant("c", {{kTotalKey, "5"}});
    EXPECT_FALSE(counter->create()) << "it exists already";
    EXPECT_EQ(backend.stored("c"), (Fields{{kTotalKey, "5"}}));

    counter->remove();
    EXPECT_FALSE(counter->exists());
    EXPECT_EQ(error_message([&] { counter->require(); }), backend.missing("c"));
    EXPECT_TRUE(counter->create());
    EXPECT_EQ(backend.stored("c"), Fields{});
}

// A visit raises the total and its hour as decimal texts of any length,
// leading zeros kept, and dates the counter only when the total becomes
// exactly "1". Hits through the clock land in the hour of their moment.
TEST_P(StoreBehaviour, VisitRaisesTotalAndHourAndDatesTheFirst) {
    ASSERT_TRUE(counter->create());
    const std::time_t midnight = utc_time(2001, 3, 12, 0);
    EXPECT_EQ(count(*counter, midnight - 8 * 3600 - 1), "1");
    EXPECT_EQ(count(*counter, midnight - 1), "2");
    EXPECT_EQ(count(*counter, midnight - 1), "3");
    EXPECT_EQ(count(*counter, midnight), "4");
    EXPECT_EQ(backend.stored("c"), (Fields{{kTotalKey, "4"}, {kStartDateKey, "2001/03/11/15"}, {"2001/03/11/15", "1"},
                                           {"2001/03/11/23", "2"}, {"2001/03/12/00", "1"}}));

    const std::string zeros(270, '0');
    // The total and the hour before the visit, and after it.
    const std::vector<std::array<std::string, 4>> texts = {
        {"999", "9", "1000", "10"},
        {"007", "0999", "008", "1000"},
        {"1999", "", "2000", "1"},
        {std::string(300, '9'), "1" + zeros + "8", "1" + std::string(300, '0'), "1" + zeros + "9"},
        {"00", "12a", "01", "12b"},  // "01" is no first visit
        {"0", "41", "1", "42"},      // "1" is
    };
    for (const auto& [total, hour, total_after, hour_after] : texts) {
        backend.plant("d", {{kTotalKey, total}, {kHour, hour}});
        EXPECT_EQ(backend.counter("d")->visit(kHour), total_after);
        Fields after = {{kTotalKey, total_after}, {kHour, hour_after}};
        if (total_after == "1") after[kStartDateKey] = kHour;
        EXPECT_EQ(backend.stored("d"), after) << total;
        backend.counter("d")->remove();
    }
}

// get, records and the total and hour texts answer the records exactly as
// they are stored.
TEST_P(StoreBehaviour, RecordsAreReadAsStored) {
    ASSERT_TRUE(counter->create());
    EXPECT_EQ(compute_gettotalcount(*counter), std::nullopt);
    EXPECT_EQ(compute_gethourscount(*counter, "2001/03/11/07"), "0");
    const Fields planted = {{kTotalKey, "0042"},     {kStartDateKey, "2001/03/11/07"}, {"2001/03/11/07", "007"},
                            {"2001/03/11/%d", "8"}, {"visitor-note", "a b"}};
    backend.plant("c", planted);
    EXPECT_EQ(compute_gettotalcount(*counter), "0042");
    EXPECT_EQ(compute_gethourscount(*counter, "2001/03/11/07"), "007");
    EXPECT_EQ(compute_gethourscount(*counter, "2001/03/11/%d"), "8");  // a key as it stands
    EXPECT_EQ(compute_gethourscount(*counter, "%s%n%d%s"), "0");
    EXPECT_EQ(counter->get("visitor-note"), "a b");
    EXPECT_EQ(counter->get("nosuch"), std::nullopt);
    EXPECT_EQ(counter->snapshot({kTotalKey, "nosuch", "2001/03/11/07", kTotalKey}),
              (std::vector<std::optional<std::string>>{"0042", std::nullopt, "007", "0042"}));
    Fields read;
    for (const DbRecord& r : counter->records()) read[r.key] = r.text ? r.value : "(not text)";
    EXPECT_EQ(read, planted);
    EXPECT_EQ(backend.stored("c"), planted);
}

// A day adds its 24 hour records (two-digit real hours only, a text that is
// no number as 0), a month its days 01 to 31, a year its months; sums reach
// beyond 32 bits and stop at the end of 64. A count of days back is one
// day's sum, and counting records nothing.
TEST_P(StoreBehaviour, PeriodsAddTheirHourRecords) {
    const std::vector<std::pair<Fields, Fields>> cases = {
        {{{"2001/03/11/00", "1"}, {"2001/03/11/09", "20"}, {"2001/03/11/10", "300"}, {"2001/03/11/23", "4000"},
          {"2001/03/11/7", "50000"}, {"2001/03/11/24", "600000"}, {"2001/03/11/12", "many"},
          {"2001/03/1/10", "7000000"}, {"2001/03/12/00", "80000000"}},
         {{"2001/03/11", "4321"}, {"2001/03/13", "0"}}},
        {{{"2001/01/01/00", "1"}, {"2001/01/09/05", "2"}, {"2001/01/10/05", "4"}, {"2001/01/31/23", "8"},
          {"2001/02/01/00", "16"}, {"2001/02/28/23", "32"}, {"2001/03/01/00", "64"}, {"2001/09/15/12", "128"},
          {"2001/10/15/12", "256"}, {"2001/12/31/23", "512"}, {"2000/12/31/23", "1024"},
          {"2002/01/01/00", "2048"}, {"2001/1/05/05", "4096"}},
         {{"2001/01", "15"}, {"2001/02", "48"}, {"2001/04", "0"}, {"2001", "1023"}, {"1999", "0"}}},
        {{{"2001/03/11/01", "2147483647"}, {"2001/03/11/02", "2147483647"}, {"2001/03/11/03", "5"},
          {"2001/03/12/01", "9223372036854775807"}, {"2001/03/12/02", "1"}, {"2001/03/13/05", "99999999999999999999"}},
         {{"2001/03/11", "4294967299"}, {"2001/03/12", "9223372036854775807"}, {"2001/03/13", "9223372036854775807"},
          {"2001/03", "9223372036854775807"}, {"2001", "9223372036854775807"}}},
    };
    // A counter of its own for each: a Redis counter keeps the sums it read
    // for the rest of the request, whatever other hosts write meanwhile.
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "p" + std::to_string(i);
        backend.plant(name, cases[i].first);
        const auto c = backend.counter(name);
        for (const auto& [period, sum] : cases[i].second) {
            EXPECT_EQ(period.size() == 4   ? compute_getyearcount(*c, period)
                      : period.size() == 7 ? compute_getmonthcount(*c, period)
                                           : compute_getdaycount(*c, period),
                      sum)
                << period;
        }
    }
    const std::time_t noon = utc_time(2001, 3, 14, 12);
    const std::map<long, std::string> shown = {{0, "0"}, {2, "9223372036854775807"}, {3, "4294967299"},
                                               {4, "0"}, {-1, "0"}, {kMaxAgoDays, "0"}, {-kMaxAgoDays, "0"}};
    for (const auto& [days, sum] : shown) EXPECT_EQ(count(*backend.counter("p2"), noon, days), sum) << days;
    EXPECT_EQ(backend.stored("p2"), cases[2].first);

    // Sums in the order asked; a visit or change of the counter itself is
    // in the next sums.
    backend.plant("c", cases[0].first);
    EXPECT_EQ(counter->daysums({"2001/03/11", "2001/03/13", "2001/03/11"}), (std::vector<long>{4321, 0, 4321}));
    counter->visit("2001/03/11/09");
    EXPECT_EQ(counter->daysums({"2001/03/11"}), std::vector<long>{4322});
    counter->change([](const StoreGet&) { return std::vector<DbChange>{{"2001/03/11/00", "101"}}; });
    EXPECT_EQ(counter->daysums({"2001/03/11"}), std::vector<long>{4422});
}

// A change reads through `get` and writes what its edit answers; an edit
// that answers nothing or gives up writes nothing.
TEST_P(StoreBehaviour, ChangeWritesWhatItsEditAnswers) {
    backend.plant("c", {{kTotalKey, "41"}, {kHour, "41"}, {"gone", "x"}});
    counter->change([](const StoreGet& get) {
        return std::vector<DbChange>{{kTotalKey, support_counterupdate(get(kTotalKey).value_or("?"))},
                                     {"gone", std::nullopt},
                                     {"new", get("nosuch").value_or("none")}};
    });
    const Fields changed = {{kTotalKey, "42"}, {kHour, "41"}, {"new", "none"}};
    EXPECT_EQ(backend.stored("c"), changed);
    counter->change([](const StoreGet&) { return std::vector<DbChange>{}; });
    EXPECT_EQ(error_message([&] {
                  counter->change([](const StoreGet&) -> std::vector<DbChange> { support_errormsg("given up"); });
              }),
              "given up");
    EXPECT_EQ(backend.stored("c"), changed);
    EXPECT_EQ(counter->visit(kHour), "43") << "the counter is used on as before";
}

// Processes that visit and change one counter at once: each visit gets a
// total of its own, and no visit or change is lost, so a change's read and
// write are one step. (No process writes as often as the others together
// could make a Redis change try again: 9 writes each, 18 < 20 attempts.)
TEST_P(StoreBehaviour, ConcurrentVisitsAndChangesLoseNothing) {
    constexpr int kProcesses = 3, kRounds = 3;  // a round: two visits and a change
    ASSERT_TRUE(counter->create());
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(fork());
        if (children.back() != 0) continue;
        try {
            const auto mine = backend.counter("c");
            std::string totals;
            for (int round = 0; round < kRounds; ++round) {
                totals += mine->visit(kHour) + "\n" + mine->visit(kHour) + "\n";
                mine->change([](const StoreGet& get) {
                    const std::string total = get(kTotalKey).value_or("");
                    usleep(2000);  // room for the others' writes, where a lost one would hide
                    return std::vector<DbChange>{{kTotalKey, support_counterupdate(total)}};
                });
            }
            // One write of less than PIPE_BUF bytes: never mixed with another.
            _exit(write(out[1], totals.data(), totals.size()) == static_cast<ssize_t>(totals.size()) ? 0 : 1);
        } catch (...) {
            _exit(2);
        }
    }
    close(out[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    for (pid_t pid : children) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    std::set<std::string> totals;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) totals.insert(line);
    EXPECT_EQ(totals.size(), static_cast<std::size_t>(kProcesses * kRounds * 2)) << text;
    const Fields after = backend.stored("c");
    EXPECT_EQ(after.at(kTotalKey), std::to_string(kProcesses * kRounds * 3));
    EXPECT_EQ(after.at(kHour), std::to_string(kProcesses * kRounds * 2));
}

// A dump read back by restore gives the counter it was made of, in place of
// what the counter holds by then or as a new counter, in either store.
TEST_P(StoreBehaviour, DumpRestoresIntoEitherStore) {
    const Fields planted = {{kTotalKey, "0012"},   {kStartDateKey, kHour},       {kHour, "5"},
                            {"2001/03/12/00", "7"}, {"visitor-note", "kept as is"}};
    backend.plant("c", planted);
    const Dump dump(std::tmpfile(), std::fclose);
    counter->dump(dump.get());
    counter->visit("2001/03/13/00");
    std::rewind(dump.get());
    counter->restore(dump.get(), "c.dump");
    EXPECT_EQ(backend.stored("c"), planted);
    std::rewind(dump.get());
    backend.counter("new")->restore(dump.get(), "c.dump");
    EXPECT_EQ(backend.stored("new"), planted);

    // Into the other store, and from there back into this one.
    Backend other(GetParam() == Kind::kGdbm ? Kind::kRedis : Kind::kGdbm);
    if (!other.available()) GTEST_SKIP() << "redis-server is not installed";
    std::rewind(dump.get());
    other.counter("c")->restore(dump.get(), "c.dump");
    EXPECT_EQ(other.stored("c"), planted);
    const Dump back(std::tmpfile(), std::fclose);
    other.counter("c")->dump(back.get());
    std::rewind(back.get());
    backend.counter("back")->restore(back.get(), "back.dump");
    EXPECT_EQ(backend.stored("back"), planted);
}

// The real counter, but for a visit let in after each of the first `visits`
// reads of its records: between store_replace's read and its change.
class VisitedAfterRead : public Counter {
public:
    VisitedAfterRead(Counter& real, int visits) : real_(real), visits_(visits) {}
    int reads = 0;

    std::vector<DbRecord> records() override {
        std::vector<DbRecord> all = real_.records();
        if (reads++ < visits_) real_.visit(kHour);
        return all;
    }
    const std::string& name() const override { return real_.name(); }
    std::string where() const override { return real_.where(); }
    bool exists() override { return real_.exists(); }
    void require() override { real_.require(); }
    std::string visit(const std::string& hour) override { return real_.visit(hour); }
    std::optional<std::string> get(const std::string& key) override { return real_.get(key); }
    std::vector<long> daysums(const std::vector<std::string>& days) override { return real_.daysums(days); }
    std::vector<std::optional<std::string>> snapshot(const std::vector<std::string>& keys) override {
        return real_.snapshot(keys);
    }
    void change(const StoreEdit& edit) override { real_.change(edit); }
    bool create() override { return real_.create(); }
    void remove() override { real_.remove(); }
    std::unique_ptr<VisitsStore> visits(std::time_t now) override { return real_.visits(now); }
    long long size() override { return real_.size(); }
    void dump(std::FILE* out) override { real_.dump(out); }
    void restore(std::FILE* dump, const std::string& name) override { real_.restore(dump, name); }
    std::vector<Finding> inspect(const std::optional<WebUser>& user, bool repeat, bool& readable) override {
        return real_.inspect(user, repeat, readable);
    }
    Repair repair() override { return real_.repair(); }

private:
    Counter& real_;
    int visits_;
};

// store_replace makes the records exactly the given ones, writing, changing
// and removing what differs. A visit between its read and its change has it
// read again; after five such reads it gives up and writes nothing.
TEST_P(StoreBehaviour, ReplaceMakesTheRecordsTheGivenOnesUnlessVisitsKeepComing) {
    backend.plant("c", {{kTotalKey, "5"}, {kStartDateKey, kHour}, {kHour, "5"}, {"old", "x"}});
    const Fields wanted = {{kTotalKey, "7"}, {kHour, "5"}, {"2001/03/12/00", "2"}};
    store_replace(*counter, as_records(wanted));
    EXPECT_EQ(backend.stored("c"), wanted);

    VisitedAfterRead busy(*counter, 5);
    const Fields next = {{kTotalKey, "100"}, {"note", "replaced"}};
    EXPECT_EQ(error_message([&] { store_replace(busy, as_records(next)); }), "counter 'c' kept changing; try again");
    EXPECT_EQ(busy.reads, 5);
    EXPECT_EQ(backend.stored("c"), (Fields{{kTotalKey, "12"}, {kHour, "10"}, {"2001/03/12/00", "2"}}));
    VisitedAfterRead once(*counter, 1);
    store_replace(once, as_records(next));
    EXPECT_EQ(once.reads, 2);
    EXPECT_EQ(backend.stored("c"), next);
}

// With REPEAT_MINUTES a visitor is counted once in its window. A hit that
// fails is forgotten (an error image is no visit), and so are the visitors
// of a removed counter, but not those of a counter whose name begins alike.
TEST_P(StoreBehaviour, RememberedVisitsGoWithAFailedHitAndARemovedCounter) {
    CGICONFIG config = backend.config();
    config.repeat_minutes = "30";
    const std::time_t t = utc_time(2001, 3, 11, 9);
    const auto other = backend.counter("c:d");
    ASSERT_TRUE(other->create());
    EXPECT_EQ(count(*other, t, std::nullopt, config), "1");
    EXPECT_TRUE(error_message([&] { count(*counter, t, std::nullopt, config); })) << "no counter yet";
    ASSERT_TRUE(counter->create());
    EXPECT_EQ(count(*counter, t + 1, std::nullopt, config), "1");
    EXPECT_EQ(count(*counter, t + 2, std::nullopt, config), "1");
    counter->remove();
    ASSERT_TRUE(counter->create());
    EXPECT_EQ(count(*counter, t + 3, std::nullopt, config), "1");
    EXPECT_EQ(count(*counter, t + 4, std::nullopt, config), "1");
    EXPECT_EQ(count(*other, t + 4, std::nullopt, config), "1");
}

// What only the Redis store does: its Lua twin of the increment and its
// retried change.
class RedisStore : public testing::Test {
protected:
    void SetUp() override {
        if (!backend.available()) GTEST_SKIP() << "redis-server is not installed";
    }
    Backend backend{Kind::kRedis};
};

// The Lua `up` the server raises counts with gives the texts of
// support_counterupdate, so a counter holds the same texts in either store:
// all nines, empty, leading zeros, texts that are no number (the last byte
// raised, 0xFF wrapping round to a zero byte), and "1" for a missing value.
TEST_F(RedisStore, LuaIncrementGivesTheTextsOfTheCppOne) {
    const std::string script = std::string(kIncrementScript) + "return up(ARGV[1])\n";
    for (const std::string v : {"9", "999", "", "007", "0999", "12a", "abc", "9x9", "12\xFF", "\xFF" "9", "-1"}) {
        EXPECT_EQ(backend.run({"EVAL", script, "0", v}), support_counterupdate(v)) << testing::PrintToString(v);
    }
    const std::string nines(300, '9');
    EXPECT_EQ(backend.run({"EVAL", script, "0", nines}), support_counterupdate(nines));
    EXPECT_EQ(backend.run({"EVAL", script, "0"}), "1") << "a missing value (nil)";
}

// A change whose counter another host changes every time its edit runs
// never gets its write through: tried 20 times, then refused, with nothing
// of it written.
TEST_F(RedisStore, ChangeGivesUpWhenTheCounterKeepsChanging) {
    backend.plant("c", {{kTotalKey, "0"}});
    int runs = 0;
    const auto message = error_message([&] {
        backend.counter("c")->change([&](const StoreGet&) {
            backend.run({"HSET", backend.key("c"), kTotalKey, std::to_string(++runs)});
            return std::vector<DbChange>{{"note", "written"}};
        });
    });
    EXPECT_EQ(message, "Redis error. The counter kept changing; try again (" + backend.config().redis_addr + ")");
    EXPECT_EQ(runs, 20);
    EXPECT_EQ(backend.stored("c"), (Fields{{kTotalKey, "20"}}));
}

}  // namespace
}  // namespace vorn::test
