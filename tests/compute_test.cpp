// SPDX-License-Identifier: GPL-3.0-or-later
// What compute does beside the store: the texts of the date and time
// pictures, and the length of a key on a counter file. The hits and period
// counts run over both stores in store_test.cpp.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>

#include "counting/compute.h"
#include "harness.h"

namespace vorn::test {
namespace {

// A period text that makes an over-long key of a counter file is refused.
TEST(ComputeOnGdbm, OverlongPeriodTextIsRefused) {
    TempSite site{false};
    site.create_counter("c");
    const std::unique_ptr<Counter> counter = gdbm_counter(site.path("save/c.db"));
    // A day text that makes a 1020-character hour key.
    const std::string day(1017, '1');
    EXPECT_EQ(error_message([&] { compute_getdaycount(*counter, day); }),
              "DB key too long (1020 characters, at most 1019)");
    EXPECT_EQ(compute_getdaycount(*counter, day.substr(1)), "0");
}

TEST(Compute, DateAndTimeStylesByLetter) {
    UtcZone zone;
    const std::map<char, std::string> dates = {
        {'a', "03h11h2001"}, {'b', "2001h03h11"}, {'c', "03h11m2001"}, {'d', "2001m03h11"},
        {'e', "2001"},       {'f', "03"},         {'g', "11"},
    };
    for (const auto& [letter, text] : dates) {
        const CNT cnt = compute_date(*compute_datestyle(letter), Clock(utc_time(2001, 3, 11, 15, 7, 9)));
        EXPECT_EQ(cnt.outstr, text) << letter;
        EXPECT_EQ(cnt.stylelen, static_cast<int>(text.size())) << letter;
    }
    const std::map<char, std::string> afternoon = {
        {'a', "03r07p"}, {'b', "15r07"}, {'c', "03"}, {'d', "15"}, {'e', "07"}, {'f', "p"},
    };
    const std::map<char, std::string> night = {
        {'a', "12r05a"}, {'b', "00r05"}, {'c', "12"}, {'d', "00"}, {'e', "05"}, {'f', "a"},
    };
    for (const auto& [moment, texts] : {std::pair{utc_time(2001, 3, 11, 15, 7, 9), afternoon},
                                        std::pair{utc_time(2001, 3, 11, 0, 5, 0), night}}) {
        for (const auto& [letter, text] : texts) {
            const CNT cnt = compute_date(*compute_timestyle(letter), Clock(moment));
            EXPECT_EQ(cnt.outstr, text) << letter;
            EXPECT_EQ(cnt.stylelen, static_cast<int>(text.size())) << letter;
        }
    }
    // "g" is a date style but no time style; letters are exact.
    EXPECT_FALSE(compute_timestyle('g'));
    EXPECT_FALSE(compute_datestyle('A'));
    EXPECT_FALSE(compute_datestyle('h'));
}

}  // namespace
}  // namespace vorn::test
