// SPDX-License-Identifier: GPL-3.0-or-later
// The request read at the edge: every parameter parsed once, with its
// default, keeping the text for the messages that name it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "config/config.h"
#include "harness.h"
#include "vorncounter/vc.h"

namespace vorn::test {
namespace {

VDB parsed(const EntryList& params) {
    setenv("TZ", "UTC", 1);
    tzset();
    return vc_parse(params, config_fill({}), Clock(utc_time(2001, 3, 11, 15, 7, 9)));
}

TEST(vc_parse, DefaultsOfAnAbsentParameterButNotOfAnEmptyOne) {
    const VDB none = parsed({});
    EXPECT_FALSE(none.vdb);
    EXPECT_EQ(none.digit, "d");
    EXPECT_EQ(none.mode.value, Mode::kCounter);
    EXPECT_TRUE(none.ago_total);
    EXPECT_EQ(none.when.value, When::kMonth);
    EXPECT_EQ(none.date, "2001/03/11");
    EXPECT_EQ(none.cntlen.value, 6);

    const VDB empty = parsed({{"vdb", ""}, {"digit", ""}, {"mode", ""}, {"ago", ""}, {"when", ""}, {"date", ""}});
    EXPECT_EQ(empty.vdb, "");
    EXPECT_EQ(empty.digit, "");
    EXPECT_FALSE(empty.mode.value);
    EXPECT_FALSE(empty.ago_total);
    EXPECT_EQ(empty.ago.value, 0);
    EXPECT_FALSE(empty.when.value);
    EXPECT_EQ(empty.date, "");
}

TEST(vc_parse, ModesAndPeriodsAreExactWholeTexts) {
    const std::map<std::string, Mode> modes = {
        {"counter", Mode::kCounter}, {"date", Mode::kDate}, {"time", Mode::kTime}, {"stat", Mode::kStat}};
    for (const auto& [text, mode] : modes) EXPECT_EQ(parsed({{"mode", text}}).mode.value, mode) << text;
    for (const char* text : {"Counter", "stat ", "dat", "%s"}) {
        const VDB vdb = parsed({{"mode", text}});
        EXPECT_FALSE(vdb.mode.value) << text;
        EXPECT_EQ(vdb.mode.text, text);
    }
    EXPECT_EQ(parsed({{"when", "year"}}).when.value, When::kYear);
    EXPECT_EQ(parsed({{"when", "day"}}).when.value, When::kDay);
    EXPECT_FALSE(parsed({{"when", "Day"}}).when.value);
}

// ago "total" counts the visit; any other text is a number of days as
// strtol reads it, within about 10,000 years.
TEST(vc_parse, AgoIsTotalOrDaysBack) {
    const std::map<std::string, long> days = {{"0", 0}, {"1", 1}, {"-1", -1}, {"abc", 0}, {"Total", 0},
                                              {" 1", 1}, {"1days", 1}, {"3650000", 3650000}, {"-3650000", -3650000}};
    for (const auto& [text, n] : days) {
        const VDB vdb = parsed({{"ago", text}});
        EXPECT_FALSE(vdb.ago_total) << text;
        EXPECT_EQ(vdb.ago.value, n) << text;
    }
    for (const char* far : {"3650001", "-3650001", "99999999999999999999", "-9223372036854775808"}) {
        const VDB vdb = parsed({{"ago", far}});
        EXPECT_FALSE(vdb.ago_total) << far;
        EXPECT_FALSE(vdb.ago.value) << far;
        EXPECT_EQ(vdb.ago.text, far);
    }
}

TEST(vc_parse, CntlenIsANumberFromOneTo64) {
    const std::map<std::string, long> cells = {{"6", 6}, {"12x", 12}, {" 1", 1}, {"64", 64}, {"+3", 3}};
    for (const auto& [text, n] : cells) EXPECT_EQ(parsed({{"cntlen", text}}).cntlen.value, n) << text;
    for (const char* bad : {"0", "65", "abc", "", "-2", "99999999999"}) {
        const VDB vdb = parsed({{"cntlen", bad}});
        EXPECT_FALSE(vdb.cntlen.value) << bad;
        EXPECT_EQ(vdb.cntlen.text, bad);
    }
}

// Only the first letter of a style counts, and only a date or time has one.
TEST(vc_parse, StyleIsTheFirstLetterOfTheModesStyles) {
    EXPECT_EQ(parsed({{"mode", "date"}, {"style", "apple"}}).style.value->style, TimeStyle::kDateA);
    EXPECT_EQ(parsed({{"mode", "date"}, {"style", "g"}}).style.value->cells, 2);
    EXPECT_EQ(parsed({{"mode", "time"}}).style.value->style, TimeStyle::kTimeA);
    EXPECT_FALSE(parsed({{"mode", "time"}, {"style", "g"}}).style.value);
    EXPECT_FALSE(parsed({{"mode", "date"}, {"style", "A"}}).style.value);
    EXPECT_FALSE(parsed({{"mode", "date"}, {"style", ""}}).style.value);
    EXPECT_FALSE(parsed({{"mode", "counter"}, {"style", "a"}}).style.value);
}

}  // namespace
}  // namespace vorn::test

namespace vorn::test {
namespace {

// The site template names every key the program reads, each set to its
// default or shown commented out, so an operator finds every key there.
TEST(SiteTemplate, NamesEveryKeyAndChangesNoDefault) {
    const std::string text = TempSite().read("conf/vc.conf");
    for (const std::string& key : config_keys()) {
        EXPECT_TRUE(text.find("\n" + key + " = ") != std::string::npos ||
                    text.find("\n#" + key + " = ") != std::string::npos)
            << key << " is not in the template";
    }
    const CGICONFIG read = config_parse(text), defaults = config_fill({});
    EXPECT_EQ(read.dir_save, defaults.dir_save);
    EXPECT_EQ(read.default_cntlen, defaults.default_cntlen);
    EXPECT_EQ(read.rc_imgday, defaults.rc_imgday);
    EXPECT_EQ(read.store, defaults.store);
    EXPECT_EQ(read.timezone, defaults.timezone);
    EXPECT_EQ(read.repeat_minutes, defaults.repeat_minutes);
}

}  // namespace
}  // namespace vorn::test
