// Hit recording and the period counts, on a counter file of the gdbm store.
#include <gdbm.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>

#include "counting/compute.h"
#include "gdbm/dbutil.h"
#include "harness.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;

// A text as the database holds it: with its terminating zero byte.
std::string stored(const std::string& text) { return text + '\0'; }

// Every test runs in UTC at 11 March 2001, 15:07:09, on an empty counter.
class Compute : public testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) old_tz_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
        ASSERT_EQ(dbutil_create(db), 1);
    }
    void TearDown() override {
        if (old_tz_) {
            setenv("TZ", old_tz_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    // The counter picture's count: the visit counted (`days` absent), or the
    // sum of the day so many days back.
    std::string count(std::optional<long> days = std::nullopt) {
        return compute_count(*counter, days, CGICONFIG{}, VISITOR{"GET", "127.0.0.1", "test"}, Clock(now));
    }
    // Writes records as a counter would hold them.
    void seed(const Records& records) { store_records(db, records); }
    // True when nothing holds the database: a writer can open it.
    bool released() {
        GDBM_FILE dbf = gdbm_open(db.c_str(), 0, GDBM_WRITER, 0, nullptr);
        if (dbf) gdbm_close(dbf);
        return dbf != nullptr;
    }

    TempSite site{false};
    std::string db = site.path("save/c.db").string();
    std::unique_ptr<Counter> counter = [&] {
        CGICONFIG config;
        config.dir_save = site.path("save").string();
        config.dbfile_ext = "db";
        return store_open(config)->counter("c");
    }();
    std::time_t now = utc_time(2001, 3, 11, 15, 7, 9);
    std::optional<std::string> old_tz_;
};

TEST_F(Compute, FirstHitWritesTotalHourAndStartdate) {
    EXPECT_EQ(count(), "1");
    EXPECT_TRUE(released());
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("1")},
                                    {stored("2001/03/11/15"), stored("1")},
                                    {stored("startdate"), stored("2001/03/11/15")}}));
}

TEST_F(Compute, LaterHitsRaiseTheTotalAndTheirOwnHour) {
    count();
    EXPECT_EQ(count(), "2");
    now += 3600;  // 16:07
    EXPECT_EQ(count(), "3");
    now = utc_time(2001, 3, 11, 23, 59, 59);
    EXPECT_EQ(count(), "4");
    now += 1;  // midnight: the next day's hour 00
    EXPECT_EQ(count(), "5");
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("5")},
                                    {stored("2001/03/11/15"), stored("2")},
                                    {stored("2001/03/11/16"), stored("1")},
                                    {stored("2001/03/11/23"), stored("1")},
                                    {stored("2001/03/12/00"), stored("1")},
                                    {stored("startdate"), stored("2001/03/11/15")}}));
}

TEST_F(Compute, TotalCarriesAndStartdateOnlyWhenTheTotalIsExactlyOne) {
    seed({{"totcnt", "999"}, {"2001/03/11/15", "9"}});
    EXPECT_EQ(count(), "1000");
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("1000")}, {stored("2001/03/11/15"), stored("10")}}));

    // "00" becomes "01": not exactly "1", so no start date.
    seed({{"totcnt", "00"}});
    EXPECT_EQ(count(), "01");
    EXPECT_EQ(dump_db(db).count(stored("startdate")), 0u);

    // "0" becomes "1": the start date is written then.
    seed({{"totcnt", "0"}});
    EXPECT_EQ(count(), "1");
    EXPECT_EQ(dump_db(db).at(stored("startdate")), stored("2001/03/11/15"));
}

TEST_F(Compute, DaysBackShowOneDaysSumAndRecordNothing) {
    seed({{"2001/03/11/00", "2"},
          {"2001/03/11/09", "3"},
          {"2001/03/11/15", "4"},
          {"2001/03/10/23", "5"},
          {"2001/03/09/12", "6"},
          {"totcnt", "20"}});
    const Records before = dump_db(db);
    const std::map<long, std::string> shown = {{0, "9"}, {1, "5"}, {2, "6"}, {3, "0"}, {-1, "0"}};
    for (const auto& [days, sum] : shown) EXPECT_EQ(count(days), sum) << days << " days back";
    // The furthest days are moments the clock can express.
    EXPECT_EQ(count(kMaxAgoDays), "0");
    EXPECT_EQ(count(-kMaxAgoDays), "0");
    EXPECT_TRUE(released());
    EXPECT_EQ(dump_db(db), before);
}

TEST_F(Compute, DayAddsItsTwentyFourHourRecords) {
    seed({{"2001/03/11/00", "1"},
          {"2001/03/11/09", "20"},
          {"2001/03/11/10", "300"},
          {"2001/03/11/23", "4000"},
          {"2001/03/11/7", "50000"},    // not an hour key: hours have two digits
          {"2001/03/11/24", "600000"},  // no such hour
          {"2001/03/11/12", "many"},    // not a number: adds 0
          {"2001/03/1/10", "7000000"},
          {"2001/03/12/00", "80000000"}});
    EXPECT_EQ(compute_getdaycount(*counter, "2001/03/11"), "4321");
    EXPECT_EQ(compute_getdaycount(*counter, "2001/03/13"), "0");
    EXPECT_TRUE(released());
}

TEST_F(Compute, MonthAddsDays01To31AndYearMonths01To12) {
    seed({{"2001/01/01/00", "1"},
          {"2001/01/09/05", "2"},
          {"2001/01/10/05", "4"},
          {"2001/01/31/23", "8"},
          {"2001/02/01/00", "16"},
          {"2001/02/28/23", "32"},
          {"2001/03/01/00", "64"},
          {"2001/09/15/12", "128"},
          {"2001/10/15/12", "256"},
          {"2001/12/31/23", "512"},
          {"2000/12/31/23", "1024"},
          {"2002/01/01/00", "2048"},
          {"2001/1/05/05", "4096"}});
    EXPECT_EQ(compute_getmonthcount(*counter, "2001/01"), "15");
    // February 2001 has 28 days; its days 29 to 31 are summed and add nothing.
    EXPECT_EQ(compute_getmonthcount(*counter, "2001/02"), "48");
    EXPECT_EQ(compute_getmonthcount(*counter, "2001/04"), "0");
    EXPECT_EQ(compute_getyearcount(*counter, "2001"), "1023");
    EXPECT_EQ(compute_getyearcount(*counter, "1999"), "0");
    EXPECT_TRUE(released());
}

TEST_F(Compute, SumsReachBeyond32BitsAndStopAtThe64BitEnd) {
    seed({{"2001/03/11/01", "2147483647"}, {"2001/03/11/02", "2147483647"}, {"2001/03/11/03", "5"}});
    EXPECT_EQ(compute_getdaycount(*counter, "2001/03/11"), "4294967299");
    EXPECT_EQ(compute_getmonthcount(*counter, "2001/03"), "4294967299");
    EXPECT_EQ(compute_getyearcount(*counter, "2001"), "4294967299");
    EXPECT_EQ(count(0), "4294967299");

    seed({{"2001/03/12/01", "9223372036854775807"}, {"2001/03/12/02", "1"}, {"2001/03/13/05", "99999999999999999999"}});
    EXPECT_EQ(compute_getdaycount(*counter, "2001/03/12"), "9223372036854775807");
    EXPECT_EQ(compute_getdaycount(*counter, "2001/03/13"), "9223372036854775807");
    EXPECT_EQ(compute_getmonthcount(*counter, "2001/03"), "9223372036854775807");
    EXPECT_EQ(compute_getyearcount(*counter, "2001"), "9223372036854775807");
}

TEST_F(Compute, HourAndTotalAreTheStoredTexts) {
    EXPECT_EQ(compute_gettotalcount(*counter), std::nullopt);
    EXPECT_EQ(compute_gethourscount(*counter, "2001/03/11/07"), "0");

    seed({{"totcnt", "0042"}, {"2001/03/11/07", "007"}, {"2001/03/11/13", "13"}, {"2001/03/11/%d", "8"}});
    EXPECT_EQ(compute_gettotalcount(*counter), "0042");
    EXPECT_EQ(compute_gethourscount(*counter, "2001/03/11/07"), "007");
    EXPECT_EQ(compute_gethourscount(*counter, "2001/03/11/13"), "13");
    // An hour text is a key as it stands, "%" included.
    EXPECT_EQ(compute_gethourscount(*counter, "2001/03/11/%d"), "8");
    EXPECT_EQ(compute_gethourscount(*counter, "%s%n%d%s"), "0");
    EXPECT_TRUE(released());
}

TEST_F(Compute, OverlongPeriodTextIsRefused) {
    // A day text that makes a 1020-character hour key.
    const std::string day(1017, '1');
    EXPECT_EQ(error_message([&] { compute_getdaycount(*counter, day); }),
              "DB key too long (1020 characters, at most 1019)");
    EXPECT_EQ(compute_getdaycount(*counter, day.substr(1)), "0");
}

TEST_F(Compute, DateAndTimeStylesByLetter) {
    const std::map<char, std::string> dates = {
        {'a', "03h11h2001"}, {'b', "2001h03h11"}, {'c', "03h11m2001"}, {'d', "2001m03h11"},
        {'e', "2001"},       {'f', "03"},         {'g', "11"},
    };
    for (const auto& [letter, text] : dates) {
        const CNT cnt = compute_date(*compute_datestyle(letter), Clock(now));
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
