// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "counting/compute.h"
#include "harness.h"
#include "store/visits.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;

// The counter path with REPEAT_MINUTES on, in this process, so the clock
// seam sets the moment of every hit. The visitor is the CGI variables.
class Repeat : public testing::Test {
protected:
    void SetUp() override {
        site.create_counter("c");
        config.repeat_minutes = "30";
        visitor("192.0.2.7", "Mozilla/5.0 Firefox/128.0");
    }

    void visitor(const std::string& addr, const std::string& agent) { who = VISITOR{"GET", addr, agent}; }
    // The total shown at `moment`.
    std::string hit(std::time_t moment) {
        return compute_count(*counter, std::nullopt, false, config, who, Clock(moment)).count;
    }
    std::string total() { return dump_db(db).at(stored("totcnt")); }
    // The visitor records ("v...") of the store.
    int remembered() {
        int n = 0;
        for (const auto& [key, value] : dump_db(visits_path(db))) n += key[0] == 'v';
        return n;
    }

    UtcZone zone;
    TempSite site{false};
    std::string db = site.path("save/c.db").string();
    std::unique_ptr<Counter> counter = gdbm_counter(db);
    CGICONFIG config;
    VISITOR who;
};

TEST_F(Repeat, WindowRunsFromTheCountedVisit) {
    const std::time_t t0 = utc_time(2001, 3, 11, 9, 0, 0);
    EXPECT_EQ(hit(t0), "1");
    EXPECT_EQ(hit(t0 + 1), "1");
    EXPECT_EQ(hit(t0 + 30 * 60 - 1), "1");  // the last second of the window
    EXPECT_EQ(hit(t0 + 30 * 60), "2");      // reloads did not move it on
    EXPECT_EQ(hit(t0 + 60 * 60 - 1), "2");
    visitor("192.0.2.7", "Mozilla/5.0 Chrome/124.0");  // same address, other browser
    EXPECT_EQ(hit(t0 + 60 * 60 - 1), "3");
    visitor("192.0.2.8", "Mozilla/5.0 Chrome/124.0");
    EXPECT_EQ(hit(t0 + 60 * 60 - 1), "4");
    // A request whose moment was taken before the counted visit's (it
    // waited for the lock meanwhile) is within that visit's window.
    EXPECT_EQ(hit(t0 + 60), "4");
    EXPECT_EQ(total(), stored("4"));
}

TEST_F(Repeat, SaltIsReplacedAtMidnightAndTheDaysVisitsGo) {
    const std::time_t evening = utc_time(2001, 3, 11, 23, 59, 0);
    EXPECT_EQ(hit(evening), "1");
    const std::string salt = site.read("save/visits/salt");
    EXPECT_EQ(salt.substr(0, 11), "2001/03/11 ");
    EXPECT_EQ(salt.size(), 11u + 32 + 1);
    EXPECT_EQ(hit(evening + 59), "1");
    visitor("192.0.2.99", "other");
    EXPECT_EQ(hit(evening + 59), "2");
    EXPECT_EQ(remembered(), 2);

    // The window ends with the day: at midnight the first visitor counts
    // again, under a new salt, and yesterday's entries are gone.
    visitor("192.0.2.7", "Mozilla/5.0 Firefox/128.0");
    EXPECT_EQ(hit(evening + 60), "3");
    const std::string next = site.read("save/visits/salt");
    EXPECT_EQ(next.substr(0, 11), "2001/03/12 ");
    EXPECT_NE(next.substr(11), salt.substr(11));
    EXPECT_EQ(remembered(), 1);
    EXPECT_EQ(hit(evening + 61), "3");

    struct stat st {};
    ASSERT_EQ(stat(site.path("save/visits/salt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(visits_path(db).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(site.path("save/visits").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(Repeat, EndedVisitsArePrunedAFewPerRequest) {
    config.repeat_minutes = "1";
    const std::time_t t0 = utc_time(2001, 3, 11, 9, 0, 0);
    for (int i = 0; i < 40; ++i) {
        visitor("192.0.2." + std::to_string(i), "same browser");
        hit(t0);
    }
    EXPECT_EQ(remembered(), 40);
    visitor("198.51.100.1", "same browser");
    hit(t0 + 60);
    EXPECT_EQ(remembered(), 40 - 32 + 1);  // a bounded batch per request
    visitor("198.51.100.2", "same browser");
    hit(t0 + 61);
    EXPECT_EQ(remembered(), 2);  // only the visits whose window is still open
    int queued = 0;
    for (const auto& [key, value] : dump_db(visits_path(db))) queued += key[0] == 'q';
    EXPECT_EQ(queued, 2);
    EXPECT_EQ(total(), stored("42"));
}

TEST_F(Repeat, NoAddressOrUserAgentIsStoredInClear) {
    visitor("203.0.113.77", "Distinctive-Browser/9.9");
    hit(utc_time(2001, 3, 11, 9, 0, 0));
    const std::string store = site.read("save/visits/c.db");
    EXPECT_EQ(store.find("203.0.113.77"), std::string::npos);
    EXPECT_EQ(store.find("Distinctive"), std::string::npos);
    EXPECT_EQ(site.read("save/visits/salt").find("203.0.113"), std::string::npos);
}

TEST_F(Repeat, DamagedStoreStartsAnew) {
    const std::time_t t0 = utc_time(2001, 3, 11, 9, 0, 0);
    EXPECT_EQ(hit(t0), "1");
    site.write("save/visits/c.db", std::string(5000, 'x'));
    EXPECT_EQ(hit(t0 + 1), "2");  // the visit is lost with the store: counted again
    EXPECT_EQ(hit(t0 + 2), "2");
    EXPECT_EQ(remembered(), 1);
}

}  // namespace
}  // namespace vorn::test
