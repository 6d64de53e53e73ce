#include <gdbm.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>

#include "compute.h"
#include "dbutil.h"
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
        fixed_moment = utc_time(2001, 3, 11, 15, 7, 9);
        support_setclock(fixed_clock);
        ASSERT_EQ(dbutil_create(db), 1);
        vdb.mode = "counter";
        vdb.ago = "total";
        vdb.cntlen = "6";
        vdb.dbfile = db;
    }
    void TearDown() override {
        support_setclock(nullptr);
        if (old_tz_) {
            setenv("TZ", old_tz_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    CNT count() {
        CNT cnt;
        compute_count(vdb, cnt, CGICONFIG{});
        return cnt;
    }
    // Writes records as a counter would hold them.
    void seed(const std::map<std::string, std::string>& records) {
        dbutil_open(db, GDBM_WRITER);
        for (const auto& [key, value] : records) dbutil_store(key, value, GDBM_REPLACE);
        dbutil_close();
    }
    // True when nothing holds the database: a writer can open it.
    bool released() {
        GDBM_FILE dbf = gdbm_open(db.c_str(), 0, GDBM_WRITER, 0, nullptr);
        if (dbf) gdbm_close(dbf);
        return dbf != nullptr;
    }

    TempSite site{false};
    std::string db = site.path("save/c.db").string();
    VDB vdb;
    std::optional<std::string> old_tz_;
};

TEST_F(Compute, FirstHitWritesTotalHourAndStartdate) {
    CNT cnt = count();
    EXPECT_EQ(cnt.outstr, "1");
    EXPECT_EQ(cnt.stylelen, 6);
    EXPECT_TRUE(released());
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("1")},
                                    {stored("2001/03/11/15"), stored("1")},
                                    {stored("startdate"), stored("2001/03/11/15")}}));
}

TEST_F(Compute, LaterHitsRaiseTheTotalAndTheirOwnHour) {
    count();
    EXPECT_EQ(count().outstr, "2");
    fixed_moment += 3600;  // 16:07
    EXPECT_EQ(count().outstr, "3");
    fixed_moment = utc_time(2001, 3, 11, 23, 59, 59);
    EXPECT_EQ(count().outstr, "4");
    fixed_moment += 1;  // midnight: the next day's hour 00
    EXPECT_EQ(count().outstr, "5");
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("5")},
                                    {stored("2001/03/11/15"), stored("2")},
                                    {stored("2001/03/11/16"), stored("1")},
                                    {stored("2001/03/11/23"), stored("1")},
                                    {stored("2001/03/12/00"), stored("1")},
                                    {stored("startdate"), stored("2001/03/11/15")}}));
}

TEST_F(Compute, TotalCarriesAndStartdateOnlyWhenTheTotalIsExactlyOne) {
    seed({{"totcnt", "999"}, {"2001/03/11/15", "9"}});
    EXPECT_EQ(count().outstr, "1000");
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("1000")}, {stored("2001/03/11/15"), stored("10")}}));

    // "00" becomes "01": not exactly "1", so no start date.
    seed({{"totcnt", "00"}});
    EXPECT_EQ(count().outstr, "01");
    EXPECT_EQ(dump_db(db).count(stored("startdate")), 0u);

    // "0" becomes "1": the start date is written then.
    seed({{"totcnt", "0"}});
    EXPECT_EQ(count().outstr, "1");
    EXPECT_EQ(dump_db(db).at(stored("startdate")), stored("2001/03/11/15"));
}

TEST_F(Compute, OtherAgoShowsOneDaysSumAndRecordsNothing) {
    seed({{"2001/03/11/00", "2"},
          {"2001/03/11/09", "3"},
          {"2001/03/11/15", "4"},
          {"2001/03/10/23", "5"},
          {"2001/03/09/12", "6"},
          {"totcnt", "20"}});
    const Records before = dump_db(db);
    const std::map<std::string, std::string> shown = {
        {"0", "9"},   {"1", "5"},    {"2", "6"},  {"3", "0"},      {"-1", "0"},
        {"abc", "9"}, {"Total", "9"}, {" 1", "5"}, {"1days", "5"}, {"", "9"},
    };
    for (const auto& [ago, sum] : shown) {
        vdb.ago = ago;
        CNT cnt = count();
        EXPECT_EQ(cnt.outstr, sum) << "ago '" << ago << "'";
        EXPECT_EQ(cnt.stylelen, 6) << "ago '" << ago << "'";
    }
    EXPECT_TRUE(released());
    EXPECT_EQ(dump_db(db), before);
}

TEST_F(Compute, AgoOutOfRangeIsRefusedBeforeAnythingIsRead) {
    // A database that cannot be opened: any read would end in the time-out.
    vdb.dbfile = site.path("save/none.db").string();
    for (const std::string ago : {"3650001", "-3650001", "99999999999999999999", "-9223372036854775808"}) {
        vdb.ago = ago;
        EXPECT_TRUE(is_error_image(error_answer(site, [&] { count(); }), "ago out of range ('" + ago + "')"))
            << ago;
    }
    // The limits themselves are moments the clock can express.
    vdb.dbfile = db;
    vdb.ago = "3650000";
    EXPECT_EQ(count().outstr, "0");
    vdb.ago = "-3650000";
    EXPECT_EQ(count().outstr, "0");
}

TEST_F(Compute, CntlenIsReadAsANumberWithinIntRange) {
    vdb.ago = "0";
    const std::map<std::string, int> lengths = {
        {"6", 6},   {"12x", 12},           {"abc", 0},       {"", 0},
        {"-2", -2}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const auto& [cntlen, stylelen] : lengths) {
        vdb.cntlen = cntlen;
        EXPECT_EQ(count().stylelen, stylelen) << "cntlen '" << cntlen << "'";
    }
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
    EXPECT_EQ(compute_getdaycount(vdb, "2001/03/11"), "4321");
    EXPECT_EQ(compute_getdaycount(vdb, "2001/03/13"), "0");
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
    EXPECT_EQ(compute_getmonthcount(vdb, "2001/01"), "15");
    // February 2001 has 28 days; its days 29 to 31 are summed and add nothing.
    EXPECT_EQ(compute_getmonthcount(vdb, "2001/02"), "48");
    EXPECT_EQ(compute_getmonthcount(vdb, "2001/04"), "0");
    EXPECT_EQ(compute_getyearcount(vdb, "2001"), "1023");
    EXPECT_EQ(compute_getyearcount(vdb, "1999"), "0");
    EXPECT_TRUE(released());
}

TEST_F(Compute, SumsReachBeyond32BitsAndStopAtThe64BitEnd) {
    seed({{"2001/03/11/01", "2147483647"}, {"2001/03/11/02", "2147483647"}, {"2001/03/11/03", "5"}});
    EXPECT_EQ(compute_getdaycount(vdb, "2001/03/11"), "4294967299");
    EXPECT_EQ(compute_getmonthcount(vdb, "2001/03"), "4294967299");
    EXPECT_EQ(compute_getyearcount(vdb, "2001"), "4294967299");
    vdb.ago = "0";
    EXPECT_EQ(count().outstr, "4294967299");

    seed({{"2001/03/12/01", "9223372036854775807"}, {"2001/03/12/02", "1"}, {"2001/03/13/05", "99999999999999999999"}});
    EXPECT_EQ(compute_getdaycount(vdb, "2001/03/12"), "9223372036854775807");
    EXPECT_EQ(compute_getdaycount(vdb, "2001/03/13"), "9223372036854775807");
    EXPECT_EQ(compute_getmonthcount(vdb, "2001/03"), "9223372036854775807");
    EXPECT_EQ(compute_getyearcount(vdb, "2001"), "9223372036854775807");
}

TEST_F(Compute, HourAndTotalAreTheStoredTexts) {
    EXPECT_EQ(compute_gettotalcount(vdb), std::nullopt);
    EXPECT_EQ(compute_gethourscount(vdb, "2001/03/11/07"), "0");

    seed({{"totcnt", "0042"}, {"2001/03/11/07", "007"}, {"2001/03/11/13", "13"}, {"2001/03/11/%d", "8"}});
    EXPECT_EQ(compute_gettotalcount(vdb), "0042");
    EXPECT_EQ(compute_gethourscount(vdb, "2001/03/11/07"), "007");
    EXPECT_EQ(compute_gethourscount(vdb, "2001/03/11/13"), "13");
    // An hour text is a key as it stands, "%" included.
    EXPECT_EQ(compute_gethourscount(vdb, "2001/03/11/%d"), "8");
    EXPECT_EQ(compute_gethourscount(vdb, "%s%n%d%s"), "0");
    EXPECT_TRUE(released());
}

TEST_F(Compute, OverlongPeriodTextIsRefused) {
    // A day text that makes a 1020-character hour key.
    const std::string day(1017, '1');
    EXPECT_TRUE(is_error_image(error_answer(site, [&] { compute_getdaycount(vdb, day); }),
                               "DB key too long (1020 characters, at most 1019)"));
    EXPECT_EQ(compute_getdaycount(vdb, day.substr(1)), "0");
}

TEST_F(Compute, DateAndTimeStylesByFirstLetter) {
    const std::map<std::string, std::string> dates = {
        {"a", "03h11h2001"}, {"b", "2001h03h11"}, {"c", "03h11m2001"}, {"d", "2001m03h11"},
        {"e", "2001"},       {"f", "03"},         {"g", "11"},         {"apple", "03h11h2001"},
    };
    for (const auto& [style, text] : dates) {
        vdb.style = style;
        CNT cnt;
        compute_date(vdb, cnt);
        EXPECT_EQ(cnt.outstr, text) << style;
        EXPECT_EQ(cnt.stylelen, static_cast<int>(text.size())) << style;
    }
    const std::map<std::string, std::string> afternoon = {
        {"a", "03r07p"}, {"b", "15r07"}, {"c", "03"}, {"d", "15"}, {"e", "07"}, {"f", "p"},
    };
    const std::map<std::string, std::string> night = {
        {"a", "12r05a"}, {"b", "00r05"}, {"c", "12"}, {"d", "00"}, {"e", "05"}, {"f", "a"},
    };
    for (const auto& [moment, texts] : {std::pair{utc_time(2001, 3, 11, 15, 7, 9), afternoon},
                                        std::pair{utc_time(2001, 3, 11, 0, 5, 0), night}}) {
        fixed_moment = moment;
        for (const auto& [style, text] : texts) {
            vdb.style = style;
            CNT cnt;
            compute_time(vdb, cnt);
            EXPECT_EQ(cnt.outstr, text) << style;
            EXPECT_EQ(cnt.stylelen, static_cast<int>(text.size())) << style;
        }
    }
}

TEST_F(Compute, UnknownStyleNamesTheWholeStyle) {
    struct Case {
        void (*fill)(const VDB&, CNT&);
        std::string style;
    };
    // "g" is a date style but no time style; "A" is no style: letters are exact.
    for (const Case& c : {Case{compute_date, "A"}, Case{compute_time, ""}, Case{compute_time, "g%s%n"}}) {
        vdb.style = c.style;
        const std::string out = error_answer(site, [&] {
            CNT cnt;
            c.fill(vdb, cnt);
        });
        EXPECT_TRUE(is_error_image(out, "Unknown style ('" + c.style + "')")) << c.style;
    }
}

}  // namespace
}  // namespace vorn::test
