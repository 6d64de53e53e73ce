// SPDX-License-Identifier: GPL-3.0-or-later
#include <gdbm.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "counting/compute.h"
#include "gdbm/dbutil.h"
#include "harness.h"
#include "gdbm/journal.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;

std::string text_of(const std::string& stored_text) { return stored_text.substr(0, stored_text.find('\0')); }

bool is_hour_key(const std::string& key) { return key.size() == 13 && key[4] == '/' && key[10] == '/'; }

// The total and the sum of the hour records as a reader of the counter
// sees them (an unfinished change hidden), and whether the file opens.
struct Seen {
    long total = 0;
    long hours = 0;
};
Seen seen_through_the_store(const std::string& db) {
    Seen seen;
    std::vector<std::string> hour_keys;
    for (const auto& [key, value] : dump_db(db)) {
        if (is_hour_key(text_of(key))) hour_keys.push_back(text_of(key));
    }
    DbFile file = dbutil_open(db, DbMode::kRead);
    seen.total = util_tolong(dbutil_fetch(file, "totcnt").value_or("0"));
    for (const std::string& k : hour_keys) seen.hours += util_tolong(dbutil_fetch(file, k).value_or("0"));
    return seen;
}

Request hit() {
    Request req;
    req.query = "vdb=c&cntlen=3";
    return req;
}

// Thousands of hits run as the web server runs them, with SIGKILL and
// SIGTERM sent at random instants of their lives (a web server does this
// when a client goes away). After every round the file opens, and the
// total a reader sees equals the sum of the hours; every visit answered
// with a picture is counted.
TEST(InterruptedVisits, KillsAtRandomInstantsLeaveWholeVisits) {
    TempSite site;
    site.create_counter("c");
    const std::string db = site.path("save/c.db").string();

    // A process's life here, to spread the kills across it.
    auto t0 = Clock::now();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(run_cgi(site, hit()).status, 0);
    const long life_us =
        std::max<long>(500, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count() / 3);

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    // Fifty rounds, or fewer on a slow machine: the rounds stop starting
    // after 45 seconds, once five are done.
    constexpr int kRounds = 50, kMinRounds = 5, kPerRound = 40;
    const auto deadline = Clock::now() + std::chrono::seconds(45);
    long answered = 3, killed = 0;
    int rounds = 0;
    for (int round = 0; round < kRounds && (round < kMinRounds || Clock::now() < deadline); ++round) {
        ++rounds;
        // Processes are started one after the other, and three in four are
        // shot at a random instant of their life while the others run on.
        std::vector<Child> hits;
        std::uniform_int_distribution<long> when(0, life_us);
        for (int i = 0; i < kPerRound; ++i) {
            hits.push_back(start_cgi(site, hit()));
            if (i % 4 != 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(when(rng)));
                kill(hits.back().pid, (rng() & 1) ? SIGKILL : SIGTERM);
            }
        }
        for (Child& c : hits) {
            RunResult r = finish_program(c);
            if (r.status == 0) {
                EXPECT_TRUE(decode_answer(r.out).ok);
                ++answered;
            } else {
                EXPECT_TRUE(r.status == 128 + SIGKILL || r.status == 128 + SIGTERM) << "status " << r.status;
                ++killed;
            }
        }
        const Seen seen = seen_through_the_store(db);
        ASSERT_EQ(seen.total, seen.hours) << "round " << round;
        ASSERT_GE(seen.total, answered) << "round " << round << ": a visit answered with a picture was lost";
        ASSERT_LE(seen.total, answered + killed) << "round " << round;
    }
    // The next visit finishes what was left: the file itself agrees again.
    ASSERT_EQ(run_cgi(site, hit()).status, 0);
    const Records records = dump_db(db);
    long hours = 0;
    for (const auto& [key, value] : records) {
        if (is_hour_key(text_of(key))) hours += util_tolong(text_of(value));
    }
    EXPECT_EQ(util_tolong(text_of(records.at(stored("totcnt")))), hours);
    EXPECT_TRUE(journal_idle(journal_path(db)));
    std::cout << "[          ] " << rounds << " rounds: " << answered + 1 << " visits answered, " << killed
              << " processes killed\n";
}

// The save directory on a small file system that fills up. Every visit is
// either recorded whole or refused with an error image and not counted;
// once space is free again the next visit counts on from the right total,
// without anyone repairing anything. Run for many file layouts: counters
// of different sizes, the disk full to the last byte or a few blocks short.
class FullDisk : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
        fs::create_directories(mnt);
        if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=384k,mode=0755") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        }
        mounted = true;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (mounted) umount2(mnt.c_str(), MNT_DETACH);
    }
    // Fills the file system, then gives back `slack` bytes.
    void fill(std::size_t slack) {
        std::ofstream out(mnt / "filler", std::ios::binary | std::ios::trunc);
        const std::string block(4096, 'f');
        while (out.write(block.data(), block.size())) {
        }
        out.close();
        const auto size = fs::file_size(mnt / "filler");
        fs::resize_file(mnt / "filler", size > slack ? size - slack : 0);
    }
    // One visit in hour `h` of 2001/03/11 onwards: a new hour record each.
    bool visit(int h) {
        try {
            compute_count(*gdbm_counter(db), std::nullopt, false, CGICONFIG{}, VISITOR{"GET", "127.0.0.1", "test"},
                          vorn::Clock(utc_time(2001, 3, 11, 0) + 3600L * h));
            return true;
        } catch (const ErrorAnswer& e) {
            last_error = e.message();
            return false;
        }
    }

    TempSite site{false};
    fs::path mnt = site.path("small");
    std::string db = (mnt / "c.db").string();
    bool mounted = false;
    std::string last_error;
};

TEST_F(FullDisk, NoVisitIsHalfRecordedAndTheCounterCountsOnOnceThereIsSpace) {
    int refused_layouts = 0;
    for (int prefill : {0, 3, 20, 45, 90, 200, 400}) {
        for (std::size_t slack : {std::size_t{0}, std::size_t{700}, std::size_t{1500}, std::size_t{3000},
                                  std::size_t{6000}}) {
            SCOPED_TRACE("prefilled hours " + std::to_string(prefill) + ", bytes left " + std::to_string(slack));
            fs::remove(mnt / "filler");
            fs::remove(db);
            ASSERT_EQ(dbutil_create(db), 1);
            int counted = 0;
            for (int h = 0; h < prefill; ++h) counted += visit(h);
            ASSERT_EQ(counted, prefill);

            fill(slack);
            int refused = 0;
            for (int h = prefill; h < prefill + 30; ++h) {
                if (visit(h)) {
                    ++counted;
                } else {
                    ++refused;
                    EXPECT_NE(last_error.find("No space left on device"), std::string::npos) << last_error;
                }
            }
            refused_layouts += refused > 0;

            // Readable and consistent while the disk is still full.
            const Seen full = seen_through_the_store(db);
            EXPECT_EQ(full.total, counted);
            EXPECT_EQ(full.hours, counted);

            fs::remove(mnt / "filler");
            ASSERT_TRUE(visit(prefill + 40)) << last_error;
            const Seen freed = seen_through_the_store(db);
            EXPECT_EQ(freed.total, counted + 1);
            EXPECT_EQ(freed.hours, counted + 1);
            EXPECT_TRUE(journal_idle(journal_path(db)));
        }
    }
    // The layouts must really have met a full disk.
    EXPECT_GT(refused_layouts, 10);
}

}  // namespace
}  // namespace vorn::test
