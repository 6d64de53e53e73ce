// SPDX-License-Identifier: GPL-3.0-or-later
#include <gdfontg.h>
#include <gdfonts.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <tuple>

#include "base/util.h"
#include "config/config.h"
#include "harness.h"
#include "store/store.h"
#include "vorncounter/statistics.h"
#include "vorncounter/vc.h"
#include "web/channel.h"

namespace vorn::test {
namespace {

constexpr unsigned kFill = 0x1020A0;
constexpr unsigned kBody = 0x808080;
constexpr unsigned kLit = 0xD0D0D0;
constexpr unsigned kDark = 0x303030;

// A palette canvas filled with kFill (palette index 0).
GdImage canvas(int w = 610, int h = 260) {
    GdImage im(gdImageCreate(w, h));
    gdImageColorAllocate(im.get(), 0x10, 0x20, 0xA0);
    return im;
}

// The bar from column tx to bx, `h` rows above the base row: lit left and
// top edges, grey body, shaded right edge and base line, canvas around it.
// A zero bar is a lit row on a shaded row, its right end shaded.
testing::AssertionResult bar_between(gdImagePtr im, int tx, int bx, long h) {
    const int by = gdImageSY(im) - 25;
    const int ty = by - static_cast<int>(h);
    for (int y = std::max(0, ty - 1); y <= by + 2; ++y) {
        for (int x = tx - 1; x <= bx + 1; ++x) {
            unsigned want = kFill;
            if (x < tx || x > bx || y < ty || y > by + 1) {
                want = kFill;
            } else if (y == by + 1 || (x == bx && h == 0)) {
                want = kDark;  // base line; the right edge of a zero bar runs down from it
            } else if (y == ty || x == tx) {
                want = kLit;
            } else {
                want = (x == bx) ? kDark : kBody;
            }
            if (rgb_at(im, x, y) != want) {
                return testing::AssertionFailure() << "bar " << tx << ".." << bx << " height " << h << ": pixel ("
                                                   << x << ", " << y << ") is " << std::hex << rgb_at(im, x, y)
                                                   << ", want " << want;
            }
        }
    }
    return testing::AssertionSuccess();
}
testing::AssertionResult bar_at(gdImagePtr im, int slot, long h) {
    return bar_between(im, 14 * slot + 8, 14 * slot + 20, h);
}
testing::AssertionResult average_at(gdImagePtr im, int slot, long h) {
    return bar_between(im, 14 * slot + 13, 14 * slot + 25, h);
}
// Nothing drawn in the columns of an ordinary bar at `slot`.
testing::AssertionResult empty_slot(gdImagePtr im, int slot) {
    for (int y = 35; y < gdImageSY(im); ++y) {
        for (int x = 14 * slot + 8; x <= 14 * slot + 20; ++x) {
            if (rgb_at(im, x, y) != kFill) return testing::AssertionFailure() << "pixel (" << x << ", " << y << ")";
        }
    }
    return testing::AssertionSuccess();
}

// The title band (rows above the tallest bar) and the numbers column equal
// a reference where the expected texts are written with gd directly.
testing::AssertionResult texts_are(gdImagePtr im, const std::string& title, const std::string (&numbers)[5]) {
    const int w = gdImageSX(im);
    const int h = gdImageSY(im);
    GdImage ref = canvas(w, h);
    int light = gdImageColorAllocate(ref.get(), 240, 240, 240);
    int shadow = gdImageColorAllocate(ref.get(), 48, 48, 48);
    auto text = [](const std::string& s) { return reinterpret_cast<unsigned char*>(const_cast<char*>(s.c_str())); };
    gdImageString(ref.get(), gdFontGetGiant(), 12, 8, text(title), shadow);
    gdImageString(ref.get(), gdFontGetGiant(), 11, 7, text(title), light);
    int black = gdImageColorAllocate(ref.get(), 0, 0, 0);
    for (int i = 0; i < 5; ++i) gdImageString(ref.get(), gdFontGetSmall(), w - 140, 45 + 32 * i, text(numbers[i]), black);
    for (int y = 0; y < h; ++y) {
        for (int x = (y < 35 ? 0 : w - 140); x < w; ++x) {
            if (rgb_at(im, x, y) != rgb_at(ref.get(), x, y)) {
                return testing::AssertionFailure() << "texts differ at (" << x << ", " << y << ")";
            }
        }
    }
    return testing::AssertionSuccess();
}

// A chart over a counter database written with gdbm directly, drawn on a
// background of the test's own, with the clock fixed and local time UTC.
class Chart : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        store({});
    }

    void store(const std::map<std::string, std::string>& records) { store_records(db, records); }
    void at(int y, int mon, int d, int h, int min = 30) { now = utc_time(y, mon, d, h, min); }
    GdImage draw(const std::string& when, const std::string& date, int w = 610, int h = 260) {
        return render(canvas(w, h).get(), when, date);
    }
    // The chart answer of `when` and `date` on `background`, read from
    // `counter` (by default the counter "chart" of the site).
    GdImage render(gdImagePtr background, const std::string& when, const std::string& date,
                   std::unique_ptr<Counter> counter = nullptr) {
        const std::string rc = site.path("rc.gif").string();
        site.write("rc.gif", gif_encode(background));
        const CGICONFIG config = site_config(rc);
        const Clock clock(now);
        CgiChannel channel;
        Worker worker(false);
        vorn::Request request{channel, worker, clock, config,
                              vc_parse({{"vdb", "chart"}, {"mode", "stat"}, {"when", when}, {"date", date}}, config, clock),
                              counter ? std::move(counter) : store_open(config)->counter("chart")};
        return statistics_makeimage(request);
    }
    CGICONFIG site_config(const std::string& rc = "") const {
        CGICONFIG config = config_fill({});
        config.dir_save = site.path("save").string();
        config.rc_imgyear = config.rc_imgmonth = config.rc_imgday = rc;
        return config;
    }

    TempSite site{false};
    std::string db = site.path("save/chart.db").string();
    std::time_t now = 0;
};

// The date is cut by position into year, month and day, whatever stands
// between them; the title names the month by its two characters.
TEST_F(Chart, DateIsCutByPosition) {
    at(2010, 1, 1, 0);
    const std::pair<std::string, std::string> days[] = {
        {"2001/03/07", "March 07, 2001"}, {"2001-03-07", "March 07, 2001"}, {"2001/03/07/xyz", "March 07, 2001"},
        {"2001/03", "March , 2001"},      {"2001", "Unknown , 2001"},       {"20010307", "Unknown , 2001"},
        {"2001/3/7", "Unknown , 2001"},   {"20", "Unknown , 20"},           {"", "Unknown , "},
    };
    for (const auto& [date, title] : days) {
        EXPECT_TRUE(texts_are(draw("day", date).get(), title + " statistics", {"0", "0", "0", "0", "0"})) << date;
    }
    const char* months[] = {"January", "February", "March",     "April",   "May",      "June",
                            "July",    "August",   "September", "October", "November", "December"};
    for (int m = 1; m <= 12; ++m) {
        const std::string mm = (m < 10 ? "0" : "") + std::to_string(m);
        EXPECT_TRUE(texts_are(draw("month", "2001/" + mm).get(), std::string(months[m - 1]) + ", 2001 statistics",
                              {"0", "0", "0", "0", "0"}))
            << mm;
    }
    for (const char* no : {"00", "13", "1/", "3 "}) {
        EXPECT_TRUE(texts_are(draw("month", std::string("2001/") + no).get(), "Unknown, 2001 statistics",
                              {"0", "0", "0", "0", "0"}))
            << no;
    }
}

// Each period has its own configured background; any other when is named.
TEST_F(Chart, EachPeriodOnItsOwnBackground) {
    at(2010, 1, 1, 0);
    CGICONFIG config = config_fill({});
    config.dir_save = site.path("save").string();
    int width = 600;
    for (std::string* rc : {&config.rc_imgyear, &config.rc_imgmonth, &config.rc_imgday}) {
        *rc = site.path("rc" + std::to_string(width) + ".gif").string();
        site.write("rc" + std::to_string(width) + ".gif", gif_encode(canvas(width, 260).get()));
        width += 10;
    }
    const auto chart = [&](const std::string& when) {
        CgiChannel channel;
        Worker worker(false);
        vorn::Request request{channel, worker, Clock(now), config,
                              vc_parse({{"vdb", "chart"}, {"mode", "stat"}, {"when", when}}, config, Clock(now)),
                              store_open(config)->counter("chart")};
        return statistics_makeimage(request);
    };
    EXPECT_EQ(gdImageSX(chart("year").get()), 600);
    EXPECT_EQ(gdImageSX(chart("month").get()), 610);
    EXPECT_EQ(gdImageSX(chart("day").get()), 620);
    EXPECT_EQ(error_message([&] { chart("Day"); }), "Unknown when ('Day')");
    config.rc_imgday = site.path("none.gif").string();
    EXPECT_EQ(error_message([&] { chart("day"); }), "Error, '" + config.rc_imgday + "' file not found");
    site.write("none.gif", "GIF89a");
    EXPECT_EQ(error_message([&] { chart("day"); }), "Error, '" + config.rc_imgday + "' is not a GIF picture");
}

// Slot by slot: a zero bar is a light row on a dark row; the average bar
// stands five columns right of its slot; bars are scaled to the tallest,
// which is 200 rows high.
TEST_F(Chart, BarsStandInTheirSlots) {
    store({{"2001/01/05/10", "40"}, {"2001/12/31/23", "80"}});
    at(2010, 1, 1, 0);
    GdImage year = draw("year", "2001");
    EXPECT_TRUE(bar_between(year.get(), 8, 20, 100));     // slot 0, January
    EXPECT_TRUE(bar_between(year.get(), 22, 34, 0));      // slot 1, February
    EXPECT_TRUE(bar_between(year.get(), 162, 174, 200));  // slot 11, December
    EXPECT_TRUE(bar_between(year.get(), 181, 193, 25));   // the average, 120 / 12, in slot 12
    store({{"2001/03/31/23", "31"}});
    GdImage month = draw("month", "2001/03");
    EXPECT_TRUE(bar_between(month.get(), 428, 440, 200));  // slot 30, the 31st
    EXPECT_TRUE(bar_between(month.get(), 447, 459, 6));    // the average, 1 of 31, in slot 31
}

TEST_F(Chart, TallBarsAreCutAtThePictureEdges) {
    // The current day at 01:xx: the average is the day's sum itself, half
    // again the tallest bar, and a negative count reaches down past the base.
    store({{"2001/03/07/00", "100"}, {"2001/03/07/01", "100"}, {"2001/03/07/02", "-50"}});
    at(2001, 3, 7, 1);
    GdImage im = draw("day", "2001/03/07", 610, 140);
    EXPECT_EQ(rgb_at(im.get(), 14 * 24 + 13, 0), kLit);  // the average bar, cut at the top edge
    EXPECT_EQ(rgb_at(im.get(), 14 * 24 + 14, 0), kBody);
    EXPECT_EQ(rgb_at(im.get(), 37, 139), kBody);  // the negative bar reaches the bottom edge
}

TEST_F(Chart, ColoursAreAllocatedInOrderAndBarColoursReleased) {
    store({{"2001/03/07/00", "10"}, {"2001/03/07/01", "20"}});
    at(2010, 1, 1, 0);
    GdImage im = draw("day", "2001/03/07");
    gdImagePtr p = im.get();
    const unsigned want[] = {kFill, 0xF0F0F0, kDark, 0x000000, kBody, kLit, kDark};
    ASSERT_EQ(gdImageColorsTotal(p), 7);  // every bar takes the same three entries again
    for (int i = 0; i < 7; ++i) {
        unsigned rgb = (unsigned(gdImageRed(p, i)) << 16) | (unsigned(gdImageGreen(p, i)) << 8) | unsigned(gdImageBlue(p, i));
        EXPECT_EQ(rgb, want[i]) << i;
        EXPECT_EQ(p->open[i], i >= 4 ? 1 : 0) << i;
    }
    EXPECT_TRUE(bar_at(p, 0, 100));
    EXPECT_TRUE(bar_at(p, 1, 200));
}

// A picture whose own pixels use `used` palette entries: kFill and greys.
GdImage crowded_canvas(int used) {
    GdImage im = canvas();
    for (int i = 1; i < used; ++i) gdImageColorAllocate(im.get(), i, i, i);
    for (int i = 1; i < used; ++i) gdImageSetPixel(im.get(), 600, i, i);
    return im;
}

TEST_F(Chart, FullPaletteBorrowsNearestAndReleasesNone) {
    store({{"2001/03/07/05", "8"}});
    at(2002, 1, 1, 0);
    for (int used : {256, 252}) {
        GdImage im = render(crowded_canvas(used).get(), "day", "2001/03/07");
        gdImagePtr p = im.get();
        EXPECT_TRUE(bar_at(p, 5, 200)) << used;
        EXPECT_TRUE(bar_at(p, 4, 0)) << used;
        ASSERT_EQ(gdImageColorsTotal(p), 256);
        // With 252 used, title and numbers take 252-254 and each bar
        // allocates its body at 255 and borrows the other two.
        for (int i = 0; i < 256; ++i) EXPECT_EQ(p->open[i], used == 252 && i == 255 ? 1 : 0) << used << " " << i;
        for (int i = 1; i < used; ++i) EXPECT_EQ(gdImageRed(p, i), i) << i;
    }
}

TEST_F(Chart, YearOfAnotherYear) {
    store({{"totcnt", "192"},
           {"2001/01/05/10", "50"},
           {"2001/03/31/23", "100"},
           {"2001/07/01/00", "25"},
           {"2001/12/31/23", "1"},
           {"2000/12/31/23", "7"},
           {"2002/01/01/00", "9"}});
    at(2005, 6, 15, 12);
    GdImage im = draw("year", "2001/03/07");
    gdImagePtr p = im.get();
    const int heights[12] = {100, 0, 200, 0, 0, 0, 50, 0, 0, 0, 0, 2};
    for (int m = 0; m < 12; ++m) EXPECT_TRUE(bar_at(p, m, heights[m])) << m;
    EXPECT_TRUE(average_at(p, 12, 14 * 200 / 100));  // 176 / 12 = 14
    EXPECT_TRUE(texts_are(p, "2001 statistics", {"192", "176", "100", "0", "14"}));
}

TEST_F(Chart, CurrentYearInMarchDividesByThree) {
    store({{"2001/01/10/00", "30"}, {"2001/02/10/00", "60"}, {"2001/03/09/00", "90"}});
    at(2001, 3, 10, 12);
    GdImage im = draw("year", "2001");
    EXPECT_TRUE(average_at(im.get(), 12, 60 * 200 / 90));
    // No total record yet: the total shows 0.
    EXPECT_TRUE(texts_are(im.get(), "2001 statistics", {"0", "180", "90", "0", "60"}));
    at(2002, 3, 10, 12);
    im = draw("year", "2001");
    EXPECT_TRUE(average_at(im.get(), 12, 15 * 200 / 90));
    EXPECT_TRUE(texts_are(im.get(), "2001 statistics", {"0", "180", "90", "0", "15"}));
}

TEST_F(Chart, MonthOnItsSeventhDividesBySeven) {
    store({{"totcnt", "105"}, {"2001/03/01/00", "70"}, {"2001/03/07/09", "35"}, {"2001/04/01/00", "5"}});
    at(2001, 3, 7, 10);
    GdImage im = draw("month", "2001/03/07");
    gdImagePtr p = im.get();
    EXPECT_TRUE(bar_at(p, 0, 200));
    EXPECT_TRUE(bar_at(p, 6, 100));
    EXPECT_TRUE(bar_at(p, 30, 0));  // 31 bars
    EXPECT_TRUE(average_at(p, 31, 15 * 200 / 70));
    EXPECT_TRUE(texts_are(p, "March, 2001 statistics", {"105", "105", "70", "0", "15"}));
    at(2001, 5, 1, 0);
    im = draw("month", "2001/03");
    EXPECT_TRUE(average_at(im.get(), 31, 3 * 200 / 70));  // 105 / 31
}

TEST_F(Chart, ThirtyDayMonthLeavesSlotThirtyEmpty) {
    store({{"2001/04/30/23", "60"}, {"2001/05/01/00", "60"}});
    at(2010, 1, 1, 0);
    GdImage im = draw("month", "2001/04");
    EXPECT_TRUE(bar_at(im.get(), 29, 200));
    EXPECT_TRUE(empty_slot(im.get(), 30));
    EXPECT_TRUE(average_at(im.get(), 31, 2 * 200 / 60));
    EXPECT_TRUE(texts_are(im.get(), "April, 2001 statistics", {"0", "60", "60", "0", "2"}));
}

TEST_F(Chart, FebruaryHasTwentyNineDaysEveryFourthYear) {
    for (auto [year, days] : {std::pair{"1900", 29}, {"2000", 29}, {"2001", 28}}) {
        store({{std::string(year) + "/02/02/05", "812"}});
        at(2010, 1, 1, 0);
        GdImage im = draw("month", std::string(year) + "/02/11");
        EXPECT_TRUE(bar_at(im.get(), 1, 200)) << year;
        EXPECT_TRUE(bar_at(im.get(), days - 1, 0)) << year;
        EXPECT_TRUE(empty_slot(im.get(), days)) << year;
        long avg = 812 / days;
        EXPECT_TRUE(average_at(im.get(), 31, avg * 200 / 812)) << year;
        EXPECT_TRUE(texts_are(im.get(), "February, " + std::string(year) + " statistics",
                              {"0", "812", "812", "0", std::to_string(avg)}))
            << year;
    }
}

TEST_F(Chart, MonthTextThatIsNoMonth) {
    store({{"2001/13/05/00", "30"}});
    at(2010, 1, 1, 0);
    // "2001" leaves the month empty: no key of it has a record.
    for (auto [date, sum, avg] : {std::tuple{"2001/13", "30", "1"}, {"2001", "0", "0"}}) {
        GdImage im = draw("month", date);
        EXPECT_TRUE(bar_at(im.get(), 29, 0)) << date;
        EXPECT_TRUE(empty_slot(im.get(), 30)) << date;
        EXPECT_TRUE(texts_are(im.get(), "Unknown, 2001 statistics", {"0", sum, sum, "0", avg})) << date;
    }
}

TEST_F(Chart, TodayAveragesOverTheHoursBegun) {
    store({{"2001/03/06/23", "99"}, {"2001/03/07/00", "10"}, {"2001/03/08/00", "99"}});
    at(2001, 3, 7, 0, 59);
    GdImage im = draw("day", "2001/03/07");
    EXPECT_TRUE(average_at(im.get(), 24, 200));  // 00:xx: the day's total itself
    EXPECT_TRUE(texts_are(im.get(), "March 07, 2001 statistics", {"0", "10", "10", "0", "10"}));

    store({{"2001/03/07/02", "20"}, {"2001/03/07/05", "5"}});
    at(2001, 3, 7, 5, 0);
    im = draw("day", "2001/03/07");
    EXPECT_TRUE(average_at(im.get(), 24, 7 * 200 / 20));  // 35 / 5
    EXPECT_TRUE(bar_at(im.get(), 0, 100));
    EXPECT_TRUE(bar_at(im.get(), 2, 200));
    EXPECT_TRUE(bar_at(im.get(), 5, 50));
    EXPECT_TRUE(bar_at(im.get(), 23, 0));

    at(2001, 3, 8, 5);
    im = draw("day", "2001/03/07");
    EXPECT_TRUE(average_at(im.get(), 24, 1 * 200 / 20));  // another day: 35 / 24
}

TEST_F(Chart, AverageBarIsNotLimited) {
    store({{"2001/03/07/00", "10"}, {"2001/03/07/01", "10"}});
    at(2001, 3, 7, 1);
    GdImage im = draw("day", "2001/03/07", 610, 500);
    EXPECT_TRUE(bar_at(im.get(), 0, 200));
    EXPECT_TRUE(bar_at(im.get(), 1, 200));
    EXPECT_TRUE(average_at(im.get(), 24, 400));
}

TEST_F(Chart, PeriodWithoutHits) {
    at(2010, 1, 1, 0);
    GdImage im = draw("day", "2001/03/07");
    for (int h = 0; h < 24; ++h) EXPECT_TRUE(bar_at(im.get(), h, 0)) << h;
    EXPECT_TRUE(average_at(im.get(), 24, 0));
    EXPECT_TRUE(texts_are(im.get(), "March 07, 2001 statistics", {"0", "0", "0", "0", "0"}));
}

TEST_F(Chart, TiesKeepTheEarlierBarAsShownText) {
    std::map<std::string, std::string> records;
    for (int h = 0; h < 24; ++h) records[(h < 10 ? "2001/03/07/0" : "2001/03/07/") + std::to_string(h)] = "20";
    at(2010, 1, 1, 0);
    for (auto [first, second] : {std::pair{"", "0"}, {"0", ""}}) {
        records["2001/03/07/03"] = std::string(first) + "40";
        records["2001/03/07/05"] = std::string(second) + "40";
        records["2001/03/07/08"] = std::string(first) + "5";
        records["2001/03/07/10"] = std::string(second) + "5";
        store(records);
        GdImage im = draw("day", "2001/03/07");
        EXPECT_TRUE(bar_at(im.get(), 3, 200));
        EXPECT_TRUE(bar_at(im.get(), 5, 200));
        EXPECT_TRUE(bar_at(im.get(), 8, 25));
        EXPECT_TRUE(average_at(im.get(), 24, 20 * 200 / 40));  // 490 / 24
        EXPECT_TRUE(texts_are(im.get(), "March 07, 2001 statistics",
                              {"0", "490", std::string(first) + "40", std::string(first) + "5", "20"}));
    }
}

TEST_F(Chart, HugeCountsScaleExactly) {
    // 4e18 * 200 is far beyond 64 bits; the bars still scale exactly.
    store({{"2001/03/07/00", "4000000000000000000"}, {"2001/03/07/01", "2000000000000000000"}});
    at(2010, 1, 1, 0);
    GdImage im = draw("day", "2001/03/07");
    EXPECT_TRUE(bar_at(im.get(), 0, 200));
    EXPECT_TRUE(bar_at(im.get(), 1, 100));
    EXPECT_TRUE(average_at(im.get(), 24, 12));  // 6e18 / 24 * 200 / 4e18
}

// The chart's counter, but for a visit let in after every read of it: a
// chart that read its counts in more than one go would show numbers of two
// moments.
class VisitedAfterEachRead : public Counter {
public:
    VisitedAfterEachRead(std::unique_ptr<Counter> real, std::string hour) : real_(std::move(real)), hour_(hour) {}

    std::optional<std::string> get(const std::string& key) override { return visited(real_->get(key)); }
    std::vector<long> daysums(const std::vector<std::string>& days) override { return visited(real_->daysums(days)); }
    std::vector<std::optional<std::string>> snapshot(const std::vector<std::string>& keys) override {
        return visited(real_->snapshot(keys));
    }
    std::vector<DbRecord> records() override { return visited(real_->records()); }

    const std::string& name() const override { return real_->name(); }
    std::string where() const override { return real_->where(); }
    bool exists() override { return real_->exists(); }
    void require() override { real_->require(); }
    std::string visit(const std::string& hour) override { return real_->visit(hour); }
    void change(const StoreEdit& edit) override { real_->change(edit); }
    bool create() override { return real_->create(); }
    void remove() override { real_->remove(); }
    std::unique_ptr<VisitsStore> visits(std::time_t now) override { return real_->visits(now); }
    long long size() override { return real_->size(); }
    void dump(std::FILE* out) override { real_->dump(out); }
    void restore(std::FILE* dump, const std::string& name) override { real_->restore(dump, name); }
    std::vector<Finding> inspect(const std::optional<WebUser>& user, bool repeat, bool& readable) override {
        return real_->inspect(user, repeat, readable);
    }
    Repair repair() override { return real_->repair(); }

private:
    template <typename T>
    T visited(T value) {
        real_->visit(hour_);
        return value;
    }
    std::unique_ptr<Counter> real_;
    std::string hour_;
};

// The number drawn in line `line` of the numbers column (0 the total, 1
// the period, 2 the tallest bar) of a chart on canvas(), among `lo` to `hi`.
std::optional<long> number_in(gdImagePtr im, int line, long lo, long hi) {
    const int x0 = gdImageSX(im) - 140;
    const int y0 = 45 + 32 * line;
    for (long n = lo; n <= hi; ++n) {
        GdImage ref = canvas(140, 16);
        const std::string text = std::to_string(n);
        gdImageString(ref.get(), gdFontGetSmall(), 0, 0, reinterpret_cast<unsigned char*>(const_cast<char*>(text.c_str())),
                      gdImageColorAllocate(ref.get(), 0, 0, 0));
        bool same = true;
        for (int y = 0; y < 16 && same; ++y) {
            for (int x = 0; x < 140 && same; ++x) same = rgb_at(im, x0 + x, y0 + y) == rgb_at(ref.get(), x, y);
        }
        if (same) return n;
    }
    return std::nullopt;
}

// A chart reads its counts at one moment: with every visit in one hour,
// the all-time total, the period's number and the tallest bar are the same
// number, however visits come in while the chart is drawn.
TEST_F(Chart, CountsAreReadAtOneMoment) {
    store({{"2001/03/07/10", "40"}, {"totcnt", "40"}});
    at(2010, 1, 1, 0);
    const std::string texts[][2] = {{"year", "2001"}, {"month", "2001/03"}, {"day", "2001/03/07"}};
    const char* titles[] = {"2001 statistics", "March, 2001 statistics", "March 07, 2001 statistics"};
    const char* averages[] = {"3", "1", "1"};  // 40 of 12 months, of 31 days, of 24 hours
    for (int i = 0; i < 3; ++i) {
        store({{"2001/03/07/10", "40"}, {"totcnt", "40"}});
        GdImage im = render(canvas().get(), texts[i][0], texts[i][1],
                            std::make_unique<VisitedAfterEachRead>(gdbm_counter(db), "2001/03/07/10"));
        EXPECT_TRUE(texts_are(im.get(), titles[i], {"40", "40", "40", "0", averages[i]})) << texts[i][0];
        EXPECT_EQ(db_texts(db).at("totcnt"), "41") << "one read, one visit let in";
    }

    // Visits of another process, as fast as it can make them.
    const pid_t visitor = fork();
    ASSERT_GE(visitor, 0);
    if (visitor == 0) {
        const auto counter = gdbm_counter(db);
        for (int n = 0; n < 20000; ++n) counter->visit("2001/03/07/10");
        _exit(0);
    }
    const auto reader = gdbm_counter(db);
    int charts = 0;
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 3; ++i) {
            const long lo = util_tolong(reader->get(kTotalKey).value_or("0"));
            GdImage im = render(canvas().get(), texts[i][0], texts[i][1]);
            const long hi = util_tolong(reader->get(kTotalKey).value_or("0"));
            const std::optional<long> total = number_in(im.get(), 0, lo, hi);
            ASSERT_TRUE(total) << texts[i][0] << ": no total from " << lo << " to " << hi;
            EXPECT_EQ(number_in(im.get(), 1, *total, *total), total) << texts[i][0];
            EXPECT_EQ(number_in(im.get(), 2, *total, *total), total) << texts[i][0];
            charts += hi > lo;
        }
    }
    kill(visitor, SIGKILL);
    int status = 0;
    waitpid(visitor, &status, 0);
    EXPECT_GT(charts, 0) << "no chart was drawn while visits came in";
}

}  // namespace
}  // namespace vorn::test
