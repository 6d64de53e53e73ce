#include <gdbm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;

const std::string kTimeOut = "DB open error. Time out. Please, try again.";

// A text as the database holds it: with its terminating zero byte.
std::string stored(const std::string& text) { return text + '\0'; }

Request get(const std::string& query) {
    Request req;
    req.query = query;
    return req;
}

// Sum of all hour records (every record but the total and the start date).
long hour_sum(const Records& records) {
    long sum = 0;
    for (const auto& [key, value] : records) {
        if (key != stored("totcnt") && key != stored("startdate")) sum += std::stol(value);
    }
    return sum;
}

// True while the child still runs; it is not collected.
bool running(const Child& child) {
    siginfo_t info{};
    return waitid(P_PID, child.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

TEST(CounterStoreE2E, ConcurrentHitsAreEachCountedOnce) {
    TempSite site;
    site.create_counter("c");
    constexpr int kVisitors = 24;
    std::vector<Child> visitors;
    for (int i = 0; i < kVisitors; ++i) visitors.push_back(start_cgi(site, get("vdb=c&cntlen=3")));

    std::set<std::string> counters;
    int answered = 0;
    for (Child& child : visitors) {
        RunResult r = finish_program(child);
        EXPECT_EQ(r.err, "");
        if (r.status == 0) {
            EXPECT_TRUE(decode_answer(r.out).ok);
            counters.insert(r.out);
            ++answered;
        } else {
            // A visitor may only lose the wait for the lock, never a count.
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(is_error_image(r.out, kTimeOut));
        }
    }
    // Every visitor that got a counter saw a total of its own.
    EXPECT_EQ(counters.size(), static_cast<std::size_t>(answered));
    EXPECT_GT(answered, 0);
    const Records records = dump_db(site.path("save/c.db"));
    EXPECT_EQ(records.at(stored("totcnt")), stored(std::to_string(answered)));
    EXPECT_EQ(hour_sum(records), answered);
    EXPECT_EQ(records.count(stored("startdate")), 1u);
}

TEST(CounterStoreE2E, PastDaysAreShownWithoutCounting) {
    TempSite site;
    site.create_counter("c");
    RunResult first = run_cgi(site, get("vdb=c"));
    RunResult second = run_cgi(site, get("vdb=c"));
    ASSERT_EQ(first.status, 0);
    ASSERT_EQ(second.status, 0);
    EXPECT_NE(first.out, second.out);

    // Today's sum is the two hits: the same picture as the second total.
    RunResult today = run_cgi(site, get("vdb=c&ago=0"));
    EXPECT_EQ(today.status, 0);
    EXPECT_EQ(today.out, second.out);

    RunResult far = run_cgi(site, get("vdb=c&ago=3650001"));
    EXPECT_EQ(far.status, 1);
    EXPECT_TRUE(is_error_image(far.out, "ago out of range ('3650001')"));

    const Records records = dump_db(site.path("save/c.db"));
    EXPECT_EQ(records.at(stored("totcnt")), stored("2"));
    EXPECT_EQ(hour_sum(records), 2);
}

TEST(CounterStoreE2E, RequestWaitsWhileAnotherProcessWrites) {
    TempSite site;
    site.create_counter("c");
    const std::string db = site.path("save/c.db").string();
    GDBM_FILE held = gdbm_open(db.c_str(), 0, GDBM_WRITER | GDBM_CLOEXEC, 0, nullptr);
    ASSERT_NE(held, nullptr);
    Child hit = start_cgi(site, get("vdb=c"));
    Child reader = start_cgi(site, get("vdb=c&ago=0"));
    sleep(2);
    // Neither can have answered: both need the file the test holds.
    EXPECT_TRUE(running(hit));
    EXPECT_TRUE(running(reader));
    gdbm_close(held);

    RunResult r = finish_program(hit);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(decode_answer(r.out).ok);
    RunResult rr = finish_program(reader);
    EXPECT_EQ(rr.status, 0);
    EXPECT_EQ(rr.err, "");
    EXPECT_TRUE(decode_answer(rr.out).ok);
    EXPECT_EQ(dump_db(db).at(stored("totcnt")), stored("1"));
}

// The one slow test (about ten seconds): a file held for writing beyond the
// ten attempts, and a file that is no database, wait side by side.
TEST(CounterStoreE2E, HeldOrBrokenDatabaseEndsInTheTimeOut) {
    TempSite locked;
    locked.create_counter("c");
    const std::string db = locked.path("save/c.db").string();
    const std::string before = locked.read("save/c.db");
    GDBM_FILE held = gdbm_open(db.c_str(), 0, GDBM_WRITER | GDBM_CLOEXEC, 0, nullptr);
    ASSERT_NE(held, nullptr);

    TempSite broken;
    const std::string junk = "not a counter database\n";
    broken.write("save/c.db", junk);

    std::vector<Child> waiting = {start_cgi(locked, get("vdb=c")), start_cgi(broken, get("vdb=c")),
                                  start_cgi(broken, get("vdb=c&ago=0"))};
    for (Child& child : waiting) {
        RunResult r = finish_program(child);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(is_error_image(r.out, kTimeOut));
    }
    gdbm_close(held);
    EXPECT_EQ(locked.read("save/c.db"), before);
    EXPECT_EQ(broken.read("save/c.db"), junk);
}

}  // namespace
}  // namespace vorn::test
