// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <string>

#include "base/support.h"
#include "counting/compute.h"
#include "harness.h"
#include "picture/errorimage.h"

namespace vorn::test {
namespace {

constexpr unsigned kBackground = 0x000000;
constexpr unsigned kReflection = 0xCFCFFF;
constexpr unsigned kShadow = 0x4F4FFF;
constexpr unsigned kTextColor = 0x00FF00;

// True when some pixel of `rgb` lies in the rectangle [x0, x1] x [y0, y1].
bool any_pixel(gdImagePtr im, int x0, int y0, int x1, int y1, unsigned rgb) {
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            if (rgb_at(im, x, y) == rgb) return true;
        }
    }
    return false;
}

TEST(errorimage_draw, SizePaletteFramesAndText) {
    GdImage im = errorimage_draw("Unknown mode ('x')");
    ASSERT_NE(im, nullptr);
    gdImagePtr p = im.get();
    const int w = 6 * 18 + 12;
    ASSERT_EQ(gdImageSX(p), w);
    ASSERT_EQ(gdImageSY(p), 21);

    ASSERT_EQ(gdImageColorsTotal(p), 4);
    const unsigned palette[] = {kBackground, kReflection, kShadow, kTextColor};
    for (int i = 0; i < 4; ++i) {
        unsigned rgb = (unsigned(gdImageRed(p, i)) << 16) | (unsigned(gdImageGreen(p, i)) << 8) |
                       unsigned(gdImageBlue(p, i));
        EXPECT_EQ(rgb, palette[i]) << "palette index " << i;
    }

    EXPECT_EQ(rgb_at(p, 0, 0), kReflection);
    EXPECT_EQ(rgb_at(p, w - 1, 0), kShadow);
    EXPECT_EQ(rgb_at(p, 0, 20), kShadow);
    EXPECT_EQ(rgb_at(p, w - 1, 20), kShadow);
    EXPECT_EQ(rgb_at(p, 2, 2), kShadow);
    EXPECT_EQ(rgb_at(p, w - 3, 2), kReflection);
    EXPECT_EQ(rgb_at(p, 2, 18), kReflection);
    EXPECT_EQ(rgb_at(p, w - 3, 18), kReflection);
    // The gap between the two frames stays background.
    for (int x = 1; x <= w - 2; ++x) {
        EXPECT_EQ(rgb_at(p, x, 1), kBackground) << x;
        EXPECT_EQ(rgb_at(p, x, 19), kBackground) << x;
    }
    for (int y = 1; y <= 19; ++y) {
        EXPECT_EQ(rgb_at(p, 1, y), kBackground) << y;
        EXPECT_EQ(rgb_at(p, w - 2, y), kBackground) << y;
    }

    // Text only from column 6 on, rows 4 to 16.
    EXPECT_TRUE(any_pixel(p, 6, 4, 11, 16, kTextColor));
    EXPECT_FALSE(any_pixel(p, 3, 3, 5, 17, kTextColor));
    EXPECT_FALSE(any_pixel(p, 3, 3, w - 4, 3, kTextColor));
    EXPECT_FALSE(any_pixel(p, 3, 17, w - 4, 17, kTextColor));
}

TEST(errorimage_draw, EmptyMessageHoldsOnlyTheFrames) {
    GdImage im = errorimage_draw("");
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(gdImageSX(im.get()), 12);
    EXPECT_EQ(gdImageSY(im.get()), 21);
    EXPECT_FALSE(any_pixel(im.get(), 0, 0, 11, 20, kTextColor));
}

TEST(errorimage_draw, LongMessageIsCutTo1019Characters) {
    GdImage im = errorimage_draw(std::string(5000, 'x'));
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(gdImageSX(im.get()), 6 * 1019 + 12);
}

// The time texts of a fixed moment, in a fixed time zone (restored after
// each test).
class ReturnTime : public ::testing::Test {
protected:
    void SetUp() override { zone("UTC"); }
    void TearDown() override { zone("UTC"); }
    static void zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    // Sets the clock to the given UTC moment.
    void at(int year, int month, int day, int hour, int min, int sec) { now = utc_time(year, month, day, hour, min, sec); }
    std::string text(int style, long ago) const { return support_returntime(Clock(now), static_cast<TimeStyle>(style), ago); }

    std::time_t now = 0;
};

TEST_F(ReturnTime, EveryStyleAt15h07m09s) {
    at(2001, 3, 11, 15, 7, 9);
    const std::pair<int, const char*> cases[] = {
        {0, "March 11, 2001 (03:07 PM)"}, {1, "03:07 PM"},   {2, "15:07"},
        {3, "March 11, 2001"},            {4, "2001/03/11"}, {5, "2001/03/11/15"},
        {6, "2001/03"},                   {11, "03h11h2001"}, {12, "2001h03h11"},
        {13, "03h11m2001"},               {14, "2001m03h11"}, {15, "2001"},
        {16, "03"},                       {17, "11"},         {21, "03r07p"},
        {22, "15r07"},                    {23, "03"},         {24, "15"},
        {25, "07"},                       {26, "p"},          {31, "984323229"},
    };
    for (const auto& [style, shown] : cases) EXPECT_EQ(text(style, 0), shown) << style;
}

TEST_F(ReturnTime, MorningAndAfternoonMarks) {
    at(2001, 3, 11, 0, 5, 0);
    EXPECT_EQ(text(21, 0), "12r05a");
    EXPECT_EQ(text(26, 0), "a");
    EXPECT_EQ(text(22, 0), "00r05");
    EXPECT_EQ(text(23, 0), "12");
    EXPECT_EQ(text(24, 0), "00");
    at(2001, 3, 11, 11, 59, 59);
    EXPECT_EQ(text(21, 0), "11r59a");
    EXPECT_EQ(text(26, 0), "a");
    at(2001, 3, 11, 12, 0, 0);
    EXPECT_EQ(text(21, 0), "12r00p");
    EXPECT_EQ(text(26, 0), "p");
    EXPECT_EQ(text(1, 0), "12:00 PM");
}

TEST_F(ReturnTime, DaysBackCrossMonthAndYearEnds) {
    at(2001, 3, 11, 15, 7, 9);
    EXPECT_EQ(text(5, 1), "2001/03/10/15");
    EXPECT_EQ(text(5, -1), "2001/03/12/15") << "negative ago is the future";
    EXPECT_EQ(text(31, 1), "984236829");
    EXPECT_EQ(text(31, -1), "984409629");
    at(2001, 3, 1, 0, 5, 0);
    EXPECT_EQ(text(4, 1), "2001/02/28");
    at(2000, 3, 1, 0, 5, 0);
    EXPECT_EQ(text(4, 1), "2000/02/29");
    at(2001, 1, 1, 0, 5, 0);
    EXPECT_EQ(text(4, 1), "2000/12/31");
    EXPECT_EQ(text(6, 1), "2000/12");
    EXPECT_EQ(text(4, 366), "2000/01/01");
    at(2001, 12, 31, 23, 59, 0);
    EXPECT_EQ(text(4, -1), "2002/01/01");
}

TEST_F(ReturnTime, DaysAreCalendarDaysAtTheSameClockTime) {
    // Daylight saving time began on 11 March 2001 in this zone: one day
    // before 15:07 EDT is 15:07 EST, 25 hours earlier.
    zone("EST5EDT,M3.2.0,M11.1.0");
    at(2001, 3, 11, 19, 7, 9);
    EXPECT_EQ(text(5, 0), "2001/03/11/15");
    EXPECT_EQ(text(5, 1), "2001/03/10/15");
    EXPECT_EQ(text(31, 1), std::to_string(utc_time(2001, 3, 10, 20, 7, 9)));
}

// `ago` names the date N calendar days back in the site's zone, however
// long the days in between were: a change of an hour, of half an hour, and
// a day the zone skipped (whose date still counts as a day, one with no
// visits). Stepping 86,400 s would name another day in each case.
struct DaysBackCase {
    const char* zone;
    std::time_t now;  // a UTC moment; the comment gives the local time
    long ago;
    TimeStyle style;
    std::string text;
};

void PrintTo(const DaysBackCase& c, std::ostream* os) {
    *os << c.zone << " at " << c.now << " UTC, ago=" << c.ago << ", style " << static_cast<int>(c.style);
}

class DaysBackAcrossClockChanges : public ::testing::TestWithParam<DaysBackCase> {
protected:
    void TearDown() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_P(DaysBackAcrossClockChanges, NamesTheCalendarDate) {
    const DaysBackCase& c = GetParam();
    setenv("TZ", (std::string(":") + c.zone).c_str(), 1);
    tzset();
    EXPECT_EQ(support_returntime(Clock(c.now), c.style, c.ago), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, DaysBackAcrossClockChanges,
    ::testing::Values(
        // 00:30 CEST on 30 March 2026, the day after the 23-hour day.
        DaysBackCase{"Europe/Berlin", utc_time(2026, 3, 29, 22, 30), 1, TimeStyle::kDay, "2026/03/29"},
        DaysBackCase{"Europe/Berlin", utc_time(2026, 3, 29, 22, 30), 1, TimeStyle::kEpoch,
                     std::to_string(utc_time(2026, 3, 28, 23, 30))},
        DaysBackCase{"Europe/Berlin", utc_time(2026, 3, 29, 22, 30), 7, TimeStyle::kHour, "2026/03/23/00"},
        // 23:30 CET on 28 March 2026: tomorrow is the 23-hour day.
        DaysBackCase{"Europe/Berlin", utc_time(2026, 3, 28, 22, 30), -1, TimeStyle::kDay, "2026/03/29"},
        // 23:30 CET on 25 October 2026, the 25-hour day.
        DaysBackCase{"Europe/Berlin", utc_time(2026, 10, 25, 22, 30), 1, TimeStyle::kDay, "2026/10/24"},
        DaysBackCase{"Europe/Berlin", utc_time(2026, 10, 25, 22, 30), 0, TimeStyle::kDay, "2026/10/25"},
        // 23:45 on 5 April 2026 at +10:30, the 24.5-hour day.
        DaysBackCase{"Australia/Lord_Howe", utc_time(2026, 4, 5, 13, 15), 1, TimeStyle::kDay, "2026/04/04"},
        // 00:15 on 5 October 2026 at +11, the day after the 23.5-hour day.
        DaysBackCase{"Australia/Lord_Howe", utc_time(2026, 10, 4, 13, 15), 1, TimeStyle::kLong,
                     "October 04, 2026 (12:15 AM)"},
        // Samoa went from 23:59:59 on 29 December 2011 (-10) to 00:00 on
        // 31 December (+14). Noon on the 31st:
        DaysBackCase{"Pacific/Apia", utc_time(2011, 12, 30, 22, 0), 1, TimeStyle::kDay, "2011/12/30"},
        DaysBackCase{"Pacific/Apia", utc_time(2011, 12, 30, 22, 0), 2, TimeStyle::kDay, "2011/12/29"},
        // and noon on the 29th.
        DaysBackCase{"Pacific/Apia", utc_time(2011, 12, 29, 22, 0), -1, TimeStyle::kDay, "2011/12/30"},
        DaysBackCase{"Pacific/Apia", utc_time(2011, 12, 29, 22, 0), -2, TimeStyle::kDay, "2011/12/31"}));

// Where the clock never changes its offset, N calendar days are N x 86,400
// seconds: the calendar arithmetic agrees with gmtime over every date an
// `ago` of a request can reach (leap years, centuries, years before 0).
TEST_F(ReturnTime, InUtcCalendarDaysAreDaysOf86400Seconds) {
    at(2001, 3, 11, 15, 7, 9);
    for (long ago = -kMaxAgoDays; ago <= kMaxAgoDays; ago += ago > -1000 && ago < 1000 ? 1 : 997) {
        const std::time_t t = now - static_cast<std::time_t>(ago) * 86400;
        std::tm tm{};
        char hour[64] = "";
        ASSERT_TRUE(gmtime_r(&t, &tm) && std::strftime(hour, sizeof hour, "%Y/%m/%d/%H", &tm));
        ASSERT_EQ(text(5, ago), hour) << "ago=" << ago;
        ASSERT_EQ(text(31, ago), std::to_string(t)) << "ago=" << ago;
    }
}

TEST_F(ReturnTime, HugeDayCountsSaturateInsteadOfOverflowing) {
    at(2001, 3, 11, 15, 7, 9);
    EXPECT_EQ(text(31, LONG_MAX), std::to_string(LONG_MIN));
    EXPECT_EQ(text(31, LONG_MIN), std::to_string(LONG_MAX));
    // No overflow in the product, but in the difference.
    EXPECT_EQ(text(31, -(LONG_MAX / 86400)), std::to_string(LONG_MAX));
    // Moments that cannot be broken down give an empty text.
    EXPECT_EQ(text(4, LONG_MAX), "");
    EXPECT_EQ(text(21, LONG_MIN), "");
    EXPECT_EQ(text(26, LONG_MIN), "");
}

TEST_F(ReturnTime, SystemClockIsThePresent) {
    const std::time_t before = std::time(nullptr);
    const long shown = std::stol(support_returntime(Clock::system(), TimeStyle::kEpoch, 0));
    const std::time_t after = std::time(nullptr);
    EXPECT_LE(before, shown);
    EXPECT_LE(shown, after);
}

}  // namespace
}  // namespace vorn::test
