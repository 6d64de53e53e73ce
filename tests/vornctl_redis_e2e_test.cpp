// SPDX-License-Identifier: GPL-3.0-or-later
// vornctl on a site whose counters live on a real redis-server: every
// command answers as on the gdbm files (but for where a counter is), copy
// moves a counter's whole history between the stores, and backups restore
// into either store.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"
#include "gdbm/journal.h"
#include "redis_server.h"
#include "vornctl_helpers.h"

namespace vorn::test {
namespace {

using Fields = std::map<std::string, std::string>;

long hour_sum(const Fields& fields) {
    long sum = 0;
    for (const auto& [key, value] : fields) {
        if (key != "totcnt" && key != "startdate") sum += std::stol(value);
    }
    return sum;
}

// Two sites of the same build: `files` keeps its counters in gdbm files,
// `served` on the server; both name the server in REDIS_ADDR.
class VornctlOnRedis : public testing::Test {
protected:
    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << "redis-server is not installed";
        redis.emplace(server.socket());
        // A server that keeps its keys across a restart, which check asks for
        // (snapshots: the append-only file's first rewrite would hold off a
        // stop).
        redis->run({"CONFIG", "SET", "save", "3600 1"});
        conf_ = files.read("conf/vc.conf") + "REDIS_ADDR = " + server.socket() + "\n";
        use_store(files, "gdbm");
        use_store(served, "redis");
    }

    void use_store(const TempSite& site, const std::string& store) const {
        site.write("conf/vc.conf", conf_ + "STORE = " + store + "\n");
    }
    std::string key(const std::string& name) const { return "vorncounter:{" + name + "}"; }
    std::string where(const std::string& name) const { return "redis " + server.socket() + " " + key(name); }
    Fields hash(const std::string& name) { return redis->records(name); }
    void plant(const std::string& name, const Fields& fields) { redis->plant(name, fields); }
    // The counters on the server: the hashes that end in their hash tag.
    std::set<std::string> counters() {
        std::set<std::string> names;
        for (const std::string& key : redis->array({"KEYS", "vorncounter:{*}"})) names.insert(key.substr(13, key.size() - 14));
        return names;
    }

    // The text of the gdbm site with every counter file named as the
    // server and key of the same counter.
    std::string on_server(const std::string& text) const {
        static const std::regex kFile(R"(\./save/([^ ()']+)\.db)");
        std::string shown = std::regex_replace(text, kFile, "redis " + server.socket() + " vorncounter:{$1}");
        // Commands to paste name each site by its own directory.
        const std::string from = fs::canonical(files.root()).string(), to = fs::canonical(served.root()).string();
        for (std::size_t at = 0; (at = shown.find(from, at)) != std::string::npos; at += to.size()) shown.replace(at, from.size(), to);
        return shown;
    }
    // Runs vornctl with `args` in both sites and expects the same answer,
    // but for where each counter is.
    void same(const std::vector<std::string>& args, const std::string& input = "") {
        RunResult f = run_ctl(files, args, input);
        RunResult r = run_ctl(served, args, input);
        EXPECT_EQ(r.status, f.status) << testing::PrintToString(args);
        EXPECT_EQ(r.out, on_server(f.out)) << testing::PrintToString(args);
        EXPECT_EQ(r.err, on_server(f.err)) << testing::PrintToString(args);
    }
    void same_records(const std::string& name) {
        EXPECT_EQ(hash(name), db_texts(files.path("save/" + name + ".db"))) << name;
    }

    RedisServer server;
    TempSite files;
    TempSite served;
    std::optional<RedisClient> redis;

private:
    std::string conf_;
};

TEST_F(VornctlOnRedis, EveryCommandAnswersAsOnTheFiles) {
    const std::string today = day_key(0);
    same({"create", "home"});
    same({"create", "old", "--total", "12345"});
    EXPECT_EQ(counters(), (std::set<std::string>{"home", "old"}));
    for (const std::vector<std::string>& fails :
         {std::vector<std::string>{"create", "home"}, {"create", "../x"}, {"create", ""}, {"show", "nosuch"},
          {"delete", "nosuch", "--yes"}, {"set-total", "nosuch", "1"}, {"export", "nosuch"}, {"repair", "nosuch"}}) {
        same(fails);
    }
    same({"import", "nosuch", "-"}, kHistory);
    RunResult exists = run_ctl(served, {"create", "home"});
    EXPECT_EQ(exists.status, 1);
    EXPECT_EQ(exists.err, "vornctl: counter 'home' already exists (" + where("home") + ")\n");
    EXPECT_EQ(run_ctl(served, {"create", std::string(241, 'n')}).err,
              "vornctl: Counter name too long (241 characters, at most 240)\n");

    // Visits through the CGI, and records of other days planted alike.
    for (const TempSite* site : {&files, &served}) {
        for (const char* name : {"home", "home", "home", "old"}) ASSERT_EQ(run_cgi(*site, hit(name)).status, 0);
    }
    const std::map<std::string, std::string> planted = {
        {"2001/03/11/09", "100"}, {day_key(1) + "/23", "4"}, {day_key(6) + "/00", "2"}, {"totcnt", "109"}};
    store_records(files.path("save/home.db"), planted);
    plant("home", planted);
    if (day_key(0) != today) GTEST_SKIP() << "the day changed while the test ran";
    same_records("home");
    same_records("old");

    same({"show", "home"});
    same({"show", "home", "--json"});
    same({"--json", "show", "old"});
    same({"export", "home"});
    same({"export", "home", "--from", day_key(6), "--json"});
    same({"set-total", "home", "0012345"});
    same({"set-total", "old", "5", "--json"});
    same({"import", "home", "-"}, kHistory);
    same({"import", "home", "-", "--json"}, "hour,count\n2026/01/01/13,2\n2025/06/01/00,4\n");
    same({"import", "home", "-"}, "hour,count\n2026/13/01/00,1\n");
    store_records(files.path("save/home.db"), {{"2026/01/01/01", "many"}});
    plant("home", {{"2026/01/01/01", "many"}});
    same({"import", "home", "-"}, "hour,count\n2026/01/01/00,1\n2026/01/01/01,1\n");
    same({"create", "empty"});
    same({"show", "empty", "--json"});
    same({"set-total", "empty", "100"});
    for (const char* name : {"home", "old", "empty"}) same_records(name);

    // list shows the number of records where a file would show its size.
    RunResult list = run_ctl(served, {"list", "--json"});
    EXPECT_EQ(list.status, 0);
    std::string expected = run_ctl(files, {"list", "--json"}).out;
    for (const char* name : {"empty", "home", "old"}) {
        const std::size_t at = expected.find("\"size\":", expected.find("\"name\":\"" + std::string(name) + "\""));
        const std::size_t end = expected.find('}', at);
        expected.replace(at, end - at, "\"records\":" + std::to_string(hash(name).size()));
    }
    EXPECT_EQ(list.out, expected);
    RunResult text = run_ctl(served, {"list"});
    EXPECT_EQ(text.out.substr(0, text.out.find('\n')), "NAME   TOTAL  STARTDATE      LASTHOUR       RECORDS");
    EXPECT_TRUE(contains(text.out, "\nempty  100    " + today)) << text.out;

    same({"delete", "old"});
    same({"delete", "old", "--yes", "--json"});
    same({"delete", "empty", "--yes", "--json"});
    EXPECT_EQ(counters(), (std::set<std::string>{"home"}));
    EXPECT_TRUE(hash("old").empty());
    EXPECT_EQ(run_ctl(served, {"list"}).out.substr(0, 5), "NAME ");
}

TEST_F(VornctlOnRedis, CheckLooksAtTheServerAndTheRecordsAndRepairHasNothingToDo) {
    const std::map<std::string, Fields> counters = {
        {"good", {{"totcnt", "12"}, {"startdate", "2026/01/01/00"}, {"2026/01/01/00", "5"}, {"2026/01/02/00", "7"}}},
        {"foreign", {{"totcnt", "1"}, {"2026/01/01/00", "1"}, {"visitor-ip", "10.0.0.1"}}},
        {"below", {{"totcnt", "3"}, {"2026/01/01/00", "4"}, {"2026/01/01/01", "1"}}},
        {"badvalue", {{"totcnt", "x"}, {"startdate", "yesterday"}, {"2026/01/01/00", "1e3"}}},
    };
    for (const auto& [name, fields] : counters) {
        store_records(files.path("save/" + name + ".db"), fields);
        plant(name, fields);
    }
    // As root the web server user may do all: only the records are found.
    same({"check", "--user", "root"});
    same({"check", "below", "good", "nosuch", "--json", "--user", "root"});
    RunResult all = run_ctl(served, {"check"});
    EXPECT_EQ(all.status, 1);
    EXPECT_EQ(all.err, "") << "no user and permissions on the server";
    EXPECT_TRUE(contains(all.out, "good: ok\n")) << all.out;
    EXPECT_TRUE(contains(all.out, "below: total 3 is below the sum of its hours, 5: vornctl -C " +
                                      fs::canonical(served.root()).string() + " set-total below 5\n"))
        << all.out;
    EXPECT_EQ(run_ctl(served, {"check", "good"}).status, 0);

    RunResult repair = run_ctl(served, {"repair", "badvalue"});
    EXPECT_EQ(repair.status, 0);
    EXPECT_EQ(repair.out,
              "badvalue: nothing to repair: the redis server applies each visit and change whole and keeps no counter "
              "file (vornctl check badvalue looks at the records)\n");
    EXPECT_EQ(run_ctl(served, {"repair", "good", "--json"}).out,
              "{\"name\":\"good\",\"repaired\":false,\"problem\":null,\"kept_records\":0,\"kept_buckets\":0,"
              "\"lost_records\":0,\"lost_buckets\":0,\"duplicates\":0,\"original\":null,\"undid_change\":false,\"removed\":null}\n");
    for (const auto& [name, fields] : counters) EXPECT_EQ(hash(name), fields) << "check and repair change nothing";

    // A server that is gone: named counters are found unreachable, the
    // other commands fail with the server's error.
    server.stop();
    RunResult gone = run_ctl(served, {"check", "good", "below"});
    EXPECT_EQ(gone.status, 1);
    const std::string cause = "Redis error. No such file or directory (" + server.socket() + ")";
    const std::string finding = cause + ": is the server running, and are REDIS_ADDR and REDIS_PASSWORD_FILE right?\n";
    EXPECT_EQ(gone.out, "conf/vc.conf: " + finding + "good: " + finding + "below: " + finding);
    EXPECT_TRUE(contains(run_ctl(served, {"check", "good", "--json"}).out, "{\"kind\":\"open\",\"message\":\"" + cause));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"check"}, {"list"}, {"show", "good"},
                                                  {"repair", "good"}, {"set-total", "good", "1"}, {"backup", "bk"}}) {
        RunResult r = run_ctl(served, args);
        EXPECT_EQ(r.status, 1) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "") << testing::PrintToString(args);
        EXPECT_EQ(r.err, "vornctl: " + cause + "\n") << testing::PrintToString(args);
    }
}

// set-total, import and restore are each one change on the server: visits
// that run at the same time are each counted, before or after it (a
// restore drops those before it whole, the hour with the total).
TEST_F(VornctlOnRedis, ChangesWhileVisitsRunLoseNoVisit) {
    constexpr int kHalf = 15;
    store_records(files.path("save/e.db"), {{"totcnt", "12"}, {"2026/01/01/00", "5"}, {"2026/01/02/00", "7"}});
    ASSERT_EQ(run_ctl(files, {"backup", "bk"}).status, 0);
    const std::string bk = files.root().string() + "/bk";
    for (const std::string name : {"c", "d", "e"}) {
        plant(name, {});
        std::vector<Child> visits;
        for (int i = 0; i < kHalf; ++i) visits.push_back(start_cgi(served, hit(name)));
        Child change = name == "c"   ? start_ctl(served, {"set-total", "c", "1000000"})
                       : name == "d" ? start_ctl(served, {"import", "d", "-"}, kHistory)
                                     : start_ctl(served, {"restore", bk, "e"});
        for (int i = 0; i < kHalf; ++i) visits.push_back(start_cgi(served, hit(name)));
        for (Child& v : visits) {
            RunResult r = finish_program(v);
            EXPECT_EQ(r.status, 0) << error_text(r.out).value_or(r.err);
        }
        RunResult changed = finish_program(change);
        ASSERT_EQ(changed.status, 0) << changed.err;
        const Fields fields = hash(name);
        const long total = std::stol(fields.at("totcnt"));
        if (name == "c") {
            // "c: total 1000000 (was N)": N visits came before, the rest after.
            const std::string was = changed.out.substr(changed.out.find("(was ") + 5);
            const long before = was.rfind("none", 0) == 0 ? 0 : std::stol(was);
            EXPECT_EQ(before + (total - 1000000), 2 * kHalf) << changed.out;
            EXPECT_EQ(hour_sum(fields), 2 * kHalf);
        } else if (name == "d") {
            EXPECT_EQ(total, 2 * kHalf + 21);
            EXPECT_EQ(hour_sum(fields), 2 * kHalf + 21);
            EXPECT_EQ(fields.at("2026/01/01/13"), "12");
        } else {
            EXPECT_EQ(hour_sum(fields), total);
            EXPECT_LE(total, 12 + 2 * kHalf);
            EXPECT_EQ(fields.at("2026/01/01/00"), "5");
        }
    }
}

// Counters kept in the layout before (a hash each, their names in a set)
// count on where they are while `migrate` moves them, one transaction
// each: afterwards each is in the present layout with every visit.
TEST_F(VornctlOnRedis, MigrateMovesTheLayoutBeforeWhileVisitsRun) {
    constexpr int kCounters = 12, kVisits = 4;
    for (int i = 0; i < kCounters; ++i) {
        const std::string name = "m" + std::to_string(i);
        redis->run({"SADD", "vorncounter:counters", name});
        redis->run({"HSET", "vorncounter:counter:" + name, "totcnt", "10", "startdate", "2026/01/01/00",
                    "2026/01/01/00", "4", "2026/01/02/13", "6", "note", "kept"});
    }
    EXPECT_TRUE(contains(run_ctl(served, {"list"}).out, "\nm0 "));
    EXPECT_EQ(run_ctl(served, {"show", "m1", "--json"}).status, 0);
    std::vector<Child> visits;
    for (int v = 0; v < kVisits / 2; ++v) {
        for (int i = 0; i < kCounters; ++i) visits.push_back(start_cgi(served, hit("m" + std::to_string(i))));
    }
    Child migrate = start_ctl(served, {"migrate"});
    for (int v = kVisits / 2; v < kVisits; ++v) {
        for (int i = 0; i < kCounters; ++i) visits.push_back(start_cgi(served, hit("m" + std::to_string(i))));
    }
    for (Child& c : visits) {
        RunResult r = finish_program(c);
        EXPECT_EQ(r.status, 0) << error_text(r.out).value_or(r.err);
    }
    RunResult moved = finish_program(migrate);
    ASSERT_EQ(moved.status, 0) << moved.err;
    EXPECT_EQ(std::count(moved.out.begin(), moved.out.end(), '\n'), kCounters) << moved.out;
    for (int i = 0; i < kCounters; ++i) {
        const Fields fields = hash("m" + std::to_string(i));
        EXPECT_EQ(fields.at("totcnt"), std::to_string(10 + kVisits)) << i;
        EXPECT_EQ(fields.at("note"), "kept");
        Fields hours = fields;
        hours.erase("note");
        EXPECT_EQ(hour_sum(hours), 10 + kVisits) << i;
        EXPECT_EQ(fields.at("2026/01/02/13"), "6");
    }
    EXPECT_TRUE(redis->members("vorncounter:counters").empty());
    EXPECT_TRUE(redis->array({"KEYS", "vorncounter:counter:*"}).empty());
    EXPECT_EQ(run_ctl(served, {"migrate"}).out, "nothing to move\n");
}

// A year of hours of one counter: a hash per day in Redis' compact
// encoding keeps it within 200 KiB (one hash of 8760 fields took 617 KB).
TEST_F(VornctlOnRedis, AYearOfHoursFitsIn200KiB) {
    std::string csv = "hour,count\n";
    for (int day = 1; day <= 365; ++day) {
        std::tm tm{};
        tm.tm_year = 2026 - 1900;
        tm.tm_mday = day;
        tm.tm_hour = 12;
        timegm(&tm);
        char date[16];
        std::strftime(date, sizeof date, "%Y/%m/%d", &tm);
        for (int h = 0; h < 24; ++h) csv += std::string(date) + "/" + (h < 10 ? "0" : "") + std::to_string(h) + "," + std::to_string(100 + h * 37) + "\n";
    }
    ASSERT_EQ(run_ctl(served, {"create", "year"}).status, 0);
    ASSERT_EQ(run_ctl(served, {"import", "year", "-"}, csv).status, 0);
    long bytes = 0;
    const std::vector<std::string> keys = redis->array({"KEYS", "vorncounter:{year}*"});
    EXPECT_EQ(keys.size(), 367u);  // the hash, the set of days and 365 days
    for (const std::string& key : keys) bytes += util_tolong(redis->run({"MEMORY", "USAGE", key, "SAMPLES", "0"}).value_or("0"));
    RecordProperty("year_bytes", static_cast<int>(bytes));
    EXPECT_LE(bytes, 200 * 1024);
    EXPECT_EQ(hash("year").size(), 365u * 24 + 2);
}

// What makes a server lose counts, each named by check with its fix.
struct Loss {
    const char* name;
    std::vector<std::vector<std::string>> commands;
    const char* finding;
};
void PrintTo(const Loss& loss, std::ostream* os) { *os << loss.name; }

class RedisLoss : public VornctlOnRedis, public testing::WithParamInterface<Loss> {};

TEST_P(RedisLoss, CheckNamesItAndExitsOne) {
    plant("x", {{"totcnt", "3"}, {"2026/01/01/00", "3"}});
    ASSERT_EQ(run_ctl(served, {"check", "--user", "root"}).status, 0);
    for (const std::vector<std::string>& command : GetParam().commands) redis->run(command);
    RunResult r = run_ctl(served, {"check", "--user", "root"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, GetParam().finding)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RedisLoss,
    testing::Values(Loss{"eviction", {{"CONFIG", "SET", "maxmemory-policy", "allkeys-lru"}},
                         "evicts keys when its memory is full (maxmemory-policy allkeys-lru)"},
                    Loss{"no_persistence", {{"CONFIG", "SET", "save", ""}}, "keeps nothing across a restart"},
                    Loss{"expiry", {{"EXPIRE", "vorncounter:{x}d:2026/01/01", "3600"}},
                         "x: the key vorncounter:{x}d:2026/01/01 expires in"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VornctlOnRedis, CopyMovesTheWholeHistoryBothWays) {
    // A counter of two years' visits, a foreign record among them, and a
    // change that was cut short: the copy holds the counter as it was
    // before that change, as every reader sees it.
    Fields history = {{"totcnt", "0"}, {"startdate", "2024/01/01/00"}, {"visitor-note", "kept as it is"}};
    long total = 0;
    for (int day = 1; day <= 28; ++day) {
        for (int month = 1; month <= 24; month += 3) {
            char hour[20];
            std::snprintf(hour, sizeof hour, "%04d/%02d/%02d/%02d", 2024 + (month - 1) / 12, (month - 1) % 12 + 1, day,
                          day % 24);
            history[hour] = std::to_string(day * month);
            total += day * month;
        }
    }
    history["totcnt"] = std::to_string(total + 7);
    store_records(files.path("save/home.db"), history);
    ASSERT_EQ(journal_write(files.path("save/home.db").string(),
                            {{"totcnt", history["totcnt"], std::string("999999")}}, getuid(), getgid()).error, 0);
    store_records(files.path("save/home.db"), {{"totcnt", "999999"}});

    RunResult to_redis = run_ctl(files, {"copy", "home", "--to", "redis"});
    ASSERT_EQ(to_redis.status, 0) << to_redis.err;
    const std::string totals = std::to_string(history.size()) + " records, total " + history["totcnt"] + ", hours " +
                               std::to_string(total);
    EXPECT_EQ(to_redis.out, "copied home: ./save/home.db -> " + where("home") + " (" + totals + ")\n");
    EXPECT_EQ(hash("home"), history);
    EXPECT_EQ(counters(), (std::set<std::string>{"home"}));

    // Back into the files: the very records and totals it started with.
    ASSERT_EQ(run_ctl(files, {"delete", "home"}).status, 0);
    RunResult to_files = run_ctl(files, {"copy", "home", "--to", "gdbm", "--json"});
    ASSERT_EQ(to_files.status, 0) << to_files.err;
    EXPECT_EQ(to_files.out, "{\"name\":\"home\",\"from\":\"" + where("home") +
                                "\",\"to\":\"./save/home.db\",\"records\":" + std::to_string(history.size()) +
                                ",\"total\":" + history["totcnt"] + ",\"hours\":" + std::to_string(total) +
                                ",\"replaced\":false}\n");
    EXPECT_EQ(db_texts(files.path("save/home.db")), history);

    // Onto a counter that exists: refused and left alone, unless --replace,
    // which also removes the records the source does not have.
    ASSERT_EQ(run_cgi(served, hit("home")).status, 0);
    store_records(files.path("save/home.db"), {{"only-here", "1"}});
    const Fields before = db_texts(files.path("save/home.db"));
    const Fields served_before = hash("home");
    for (const std::string to : {"gdbm", "redis"}) {
        RunResult refused = run_ctl(files, {"copy", "home", "--to", to});
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(refused.err, "vornctl: counter 'home' already exists (" +
                                   (to == "gdbm" ? "./save/home.db" : where("home")) + "); copy --replace overwrites it\n");
    }
    EXPECT_EQ(db_texts(files.path("save/home.db")), before);
    EXPECT_EQ(hash("home"), served_before);
    RunResult replaced = run_ctl(files, {"copy", "home", "--to", "gdbm", "--replace"});
    ASSERT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_TRUE(contains(replaced.out, "; replaced what was there)\n")) << replaced.out;
    EXPECT_EQ(db_texts(files.path("save/home.db")), hash("home"));
    EXPECT_TRUE(journal_idle(files.path("save/home.db-journal")));
    ASSERT_EQ(run_cgi(files, hit("home")).status, 0);
    EXPECT_EQ(db_texts(files.path("save/home.db")).at("totcnt"), std::to_string(total + 9));

    // Nothing to copy, no target, or a record the server cannot hold.
    EXPECT_EQ(run_ctl(files, {"copy", "nosuch", "--to", "redis"}).err,
              "vornctl: no such counter 'nosuch' (./save/nosuch.db)\n");
    EXPECT_EQ(run_ctl(files, {"copy", "nosuch", "--to", "gdbm"}).err,
              "vornctl: no such counter 'nosuch' (" + where("nosuch") + ")\n");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"copy", "home"},
                                                  {"copy", "home", "--to", "mysql"}, {"copy", "--to", "redis"}}) {
        EXPECT_EQ(run_ctl(files, args).status, 2) << testing::PrintToString(args);
    }
    store_records(files.path("save/bin.db"), {{"totcnt", "1"}, {std::string("totcnt\0x", 8), "2"}});
    RunResult binary = run_ctl(files, {"copy", "bin", "--to", "redis"});
    EXPECT_EQ(binary.status, 1);
    EXPECT_EQ(binary.err,
              "vornctl: record 'totcnt' of ./save/bin.db is not stored as text, which the redis store cannot hold\n");
    EXPECT_FALSE(counters().count("bin"));
    EXPECT_TRUE(contains(run_ctl(files, {"copy", "--help"}).out, "It does not delete the source or change STORE"));
    EXPECT_TRUE(contains(run_ctl(files, {"--help"}).out, "  copy NAME --to redis|gdbm [--replace]"));
}

TEST_F(VornctlOnRedis, BackupOfOneStoreRestoresIntoTheOther) {
    const Fields a = {{"totcnt", "12"}, {"startdate", "2026/01/01/00"}, {"2026/01/01/00", "5"}, {"2026/01/02/00", "7"}};
    const Fields b = {{"totcnt", "3"}, {"2026/01/01/00", "3"}};
    store_records(files.path("save/a.db"), a);
    store_records(files.path("save/b.db"), b);
    ASSERT_EQ(run_ctl(files, {"backup", "bk"}).status, 0);

    // Into the server: the records as they were; a counter there has its
    // own records replaced, the records the dump lacks removed.
    plant("a", {{"totcnt", "40"}, {"2027/01/01/00", "40"}});
    const std::string bk = files.root().string() + "/bk";
    RunResult restore = run_ctl(served, {"restore", bk, "--json"});
    EXPECT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(restore.out, "[{\"name\":\"a\",\"counter\":\"" + where("a") + "\",\"dump\":\"" + bk + "/a.dump\"},"
                           "{\"name\":\"b\",\"counter\":\"" + where("b") + "\",\"dump\":\"" + bk + "/b.dump\"}]\n");
    EXPECT_EQ(hash("a"), a);
    EXPECT_EQ(hash("b"), b);
    ASSERT_EQ(run_cgi(served, hit("a")).status, 0);

    // Out of the server: dumps that Debian's gdbm_load reads and that the
    // files' restore puts back.
    RunResult backup = run_ctl(served, {"backup", "out"});
    EXPECT_EQ(backup.status, 0) << backup.err;
    EXPECT_EQ(backup.out, "a -> out/a.dump\nb -> out/b.dump\n");
    const std::string loaded = served.path("loaded.db").string();
    ASSERT_EQ(std::system(("gdbm_load '" + served.path("out/a.dump").string() + "' '" + loaded + "'").c_str()), 0);
    EXPECT_EQ(db_texts(loaded), hash("a"));
    RunResult back = run_ctl(files, {"restore", served.path("out").string(), "a", "b"});
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(db_texts(files.path("save/a.db")), hash("a"));
    EXPECT_EQ(db_texts(files.path("save/b.db")), b);

    // A dump that does not load changes nothing on the server.
    const Fields now = hash("a");
    served.write("out/a.dump", served.read("out/a.dump").substr(0, 300));
    RunResult broken = run_ctl(served, {"restore", "out", "a"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_TRUE(contains(broken.err, "vornctl: a: DB load error.")) << broken.err;
    EXPECT_EQ(hash("a"), now);
}

}  // namespace
}  // namespace vorn::test
