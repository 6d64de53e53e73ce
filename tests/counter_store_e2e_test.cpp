// SPDX-License-Identifier: GPL-3.0-or-later
#include <gdbm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kTimeOut = "DB open error. Time out. Please, try again.";

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

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Another process that opens the counter with gdbm's own locking, as a
// foreign program (gdbm_dump, gdbmtool) does, and holds it for `hold`.
pid_t hold_with_gdbm(const std::string& db, int mode, std::chrono::milliseconds hold) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        GDBM_FILE dbf = gdbm_open(db.c_str(), 0, mode, 0, nullptr);
        char opened = dbf ? '1' : '0';
        if (write(ready[1], &opened, 1) != 1) _exit(2);
        usleep(static_cast<useconds_t>(hold.count() * 1000));
        if (dbf) gdbm_close(dbf);
        _exit(0);
    }
    close(ready[1]);
    char opened = '0';
    EXPECT_EQ(read(ready[0], &opened, 1), 1);
    close(ready[0]);
    EXPECT_EQ(opened, '1') << "the helper could not open " << db;
    return pid;
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

// A lock is waited for, not polled once a second: a hit and a reader that
// meet a writer holding the file for 1.5 s answer right after it lets go.
TEST(CounterStoreE2E, HeldLockDelaysByTheTimeItIsHeld) {
    TempSite site;
    site.create_counter("c");
    const std::string db = site.path("save/c.db").string();
    const auto start = Clock::now();
    pid_t holder = hold_with_gdbm(db, GDBM_WRITER, 1500ms);
    Child hit = start_cgi(site, get("vdb=c"));
    Child reader = start_cgi(site, get("vdb=c&ago=0"));
    RunResult r = finish_program(hit);
    const double hit_seconds = seconds_since(start);
    RunResult rr = finish_program(reader);
    const double reader_seconds = seconds_since(start);
    waitpid(holder, nullptr, 0);

    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(decode_answer(r.out).ok);
    EXPECT_EQ(rr.status, 0);
    EXPECT_TRUE(decode_answer(rr.out).ok);
    EXPECT_GE(hit_seconds, 1.45);
    EXPECT_LT(hit_seconds, 1.9) << "the hit waited well past the release";
    EXPECT_LT(reader_seconds, 1.9) << "the reader waited well past the release";
    EXPECT_EQ(dump_db(db).at(stored("totcnt")), stored("1"));
}

// The one slow test (about ten seconds): a lock that really stays held still
// ends the wait after about ten seconds, for a hit and for a reader alike.
TEST(CounterStoreE2E, LockHeldPastTheBoundEndsInTheTimeOut) {
    TempSite site;
    site.create_counter("c");
    const std::string db = site.path("save/c.db").string();
    const std::string before = site.read("save/c.db");
    const auto start = Clock::now();
    pid_t holder = hold_with_gdbm(db, GDBM_WRITER, 12000ms);
    std::vector<Child> waiting = {start_cgi(site, get("vdb=c")), start_cgi(site, get("vdb=c&ago=0"))};
    for (Child& child : waiting) {
        RunResult r = finish_program(child);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(is_error_image(r.out, kTimeOut));
    }
    const double waited = seconds_since(start);
    EXPECT_GE(waited, 9.9);
    EXPECT_LT(waited, 11.5);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(site.read("save/c.db"), before);
}

// Readers that overlap without a gap (charts of a busy site) keep the
// shared lock held for as long as they run. A writer must still get in
// within a moment: readers that arrive while it waits queue behind it.
TEST(CounterStoreE2E, WriterIsNotStarvedByAStreamOfReaders) {
    TempSite site;
    site.create_counter("c");
    store_records(site.path("save/c.db"), {{"totcnt", "5"}, {"2001/03/11/09", "5"}});
    constexpr int kReaders = 6;
    const auto stop = Clock::now() + 4s;
    std::vector<Child> readers;
    // Each reader process draws day charts back to back until `stop`;
    // a day chart opens the file 26 times.
    for (int i = 0; i < kReaders; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            while (Clock::now() < stop) {
                Child c = start_cgi(site, get("vdb=c&mode=stat&when=day&date=2001/03/11"));
                int st = 0;
                waitpid(c.pid, &st, 0);
                fs::remove_all(c.out.parent_path());
            }
            _exit(0);
        }
        readers.push_back(Child{pid, {}, {}, {}});
    }
    usleep(500000);
    std::vector<double> waits;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        RunResult r = run_cgi(site, get("vdb=c"));
        waits.push_back(seconds_since(start));
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(decode_answer(r.out).ok);
        usleep(100000);
    }
    for (Child& r : readers) waitpid(r.pid, nullptr, 0);
    for (double w : waits) EXPECT_LT(w, 1.0) << "a hit waited behind readers for " << w << " s";
    EXPECT_EQ(dump_db(site.path("save/c.db")).at(stored("totcnt")), stored("10"));
}

struct Unusable {
    std::string name;
    std::function<void(const TempSite&)> prepare;
    std::string message;  // of the hit and of the chart
};

// Counter files that waiting cannot make usable: each is answered at once
// with its cause and the file's name, and the file is left as it was.
TEST(CounterStoreE2E, FailuresThatWaitingCannotCureAreAnsweredAtOnce) {
    const auto copy_of_counter = [](const TempSite& site, std::size_t from, std::size_t to, bool cut) {
        site.create_counter("good");
        store_records(site.path("save/good.db"), {{"totcnt", "41"}, {"2001/03/11/09", "41"}});
        std::string bytes = site.read("save/good.db");
        if (cut) {
            bytes.resize(from);
        } else {
            for (std::size_t i = from; i < to && i < bytes.size(); ++i) bytes[i] ^= 0x5A;
        }
        site.write("save/c.db", bytes);
    };
    const std::vector<Unusable> cases = {
        {"not a database",
         [](const TempSite& site) { site.write("save/c.db", std::string(2000, '#') + "not a counter database\n"); },
         "DB open error. Bad magic number (./save/c.db)"},
        {"shorter than a header", [](const TempSite& site) { site.write("save/c.db", "not a counter\n"); },
         "DB open error. Unexpected end of file (./save/c.db)"},
        {"cut short", [&](const TempSite& site) { copy_of_counter(site, 1500, 0, true); },
         "DB open error. Malformed database file header (./save/c.db)"},
        // The header and directory are sound, the bucket is not: the open
        // succeeds and the first read fails. Never a zero count.
        {"damaged bucket", [&](const TempSite& site) { copy_of_counter(site, 2048, 3072, false); },
         "DB Error!! (Malformed bucket header)"},
    };
    for (const Unusable& u : cases) {
        SCOPED_TRACE(u.name);
        TempSite site;
        u.prepare(site);
        const std::string before = site.read("save/c.db");
        for (const char* query : {"vdb=c", "vdb=c&mode=stat&when=day&date=2001/03/11", "vdb=c&ago=0"}) {
            const auto start = Clock::now();
            RunResult r = run_cgi(site, get(query));
            EXPECT_LT(seconds_since(start), 1.0) << query;
            EXPECT_EQ(r.status, 1) << query;
            EXPECT_TRUE(is_error_image(r.out, u.message)) << query << ": " << error_text(r.out).value_or("no error image");
        }
        EXPECT_EQ(site.read("save/c.db"), before);
        EXPECT_TRUE(journal_idle(site.path("save/c.db-journal")));
    }
}

// The most common set-up mistake: a counter file the web server user may
// not write (created by root). Run as an unprivileged user when the suite
// runs as root, so that the permission applies.
TEST(CounterStoreE2E, UnwritableCounterIsNamedAtOnce) {
    TempSite site;
    site.create_counter("home");
    store_records(site.path("save/home.db"), {{"totcnt", "7"}, {"2001/03/11/09", "7"}});
    fs::permissions(site.path("save/home.db"), fs::perms(0444));
    if (geteuid() == 0 && !unprivileged_user()) GTEST_SKIP() << "no unprivileged user to run as";
    const std::string before = site.read("save/home.db");

    Request hit = get("vdb=home");
    hit.user = unprivileged_user();
    const auto start = Clock::now();
    RunResult r = run_cgi(site, hit);
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_error_image(r.out, "DB open error. Permission denied (./save/home.db)"));

    // Reading needs no more than the read permission it has.
    Request today = get("vdb=home&ago=0");
    today.user = unprivileged_user();
    RunResult t = run_cgi(site, today);
    EXPECT_EQ(t.status, 0);
    EXPECT_TRUE(decode_answer(t.out).ok);
    EXPECT_EQ(site.read("save/home.db"), before);
}

// A counter deleted while a hit waits for its lock is not recreated or
// written: the hit names the missing file as soon as the lock is free.
TEST(CounterStoreE2E, CounterDeletedWhileWaitingIsNamed) {
    TempSite site;
    site.create_counter("c");
    const std::string db = site.path("save/c.db").string();
    pid_t holder = hold_with_gdbm(db, GDBM_WRITER, 800ms);
    Child hit = start_cgi(site, get("vdb=c"));
    usleep(300000);
    ASSERT_TRUE(running(hit));
    ASSERT_EQ(unlink(db.c_str()), 0);
    RunResult r = finish_program(hit);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_error_image(r.out, "DB open error. No such file or directory (./save/c.db)"));
    EXPECT_FALSE(fs::exists(db));
}

// An empty DIR_SAVE would put counter files at the root of the file system.
TEST(CounterStoreE2E, EmptySaveDirectoryIsRefused) {
    TempSite site;
    site.write("conf/vc.conf", "DIR_SAVE =\n");
    for (const char* query : {"vdb=c", "vdb=c&mode=stat", "vdb=etc/passwd"}) {
        RunResult r = run_cgi(site, get(query));
        EXPECT_EQ(r.status, 1) << query;
        const std::string message = std::string(query) == "vdb=etc/passwd"
                                        ? "Invalid counter name ('etc/passwd'): a name may not hold '/' or '..'"
                                        : "Configuration error. DIR_SAVE is empty (conf/vc.conf)";
        EXPECT_TRUE(is_error_image(r.out, message)) << query;
    }
    // Date and time need no counter file, so they still work.
    RunResult date = run_cgi(site, get("mode=date"));
    EXPECT_EQ(date.status, 0);
}

}  // namespace
}  // namespace vorn::test
