// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "harness.h"

namespace vorn::test {
namespace {

GdImage picture(const fs::path& file) {
    FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return nullptr;
    GdImage im(gdImageCreateFromGif(f));
    std::fclose(f);
    return im;
}

RunResult chart(const TempSite& site, const std::string& params) {
    Request req;
    req.query = "vdb=home&mode=stat&" + params;
    return run_cgi(site, req);
}

class StatChart : public testing::Test {
protected:
    void SetUp() override {
        site.create_counter("home");
        store_records(db, {{"totcnt", "12"}, {"2001/03/07/05", "8"}, {"2001/03/07/06", "4"}});
    }
    TempSite site;
    fs::path db = site.path("save/home.db");
};

// Each period is drawn on its own background and keeps its size; the hits
// of 2001/03/07 05:00 make the tallest bar of every chart.
TEST_F(StatChart, DrawsOnTheBackgroundOfItsPeriod) {
    struct Case {
        const char* params;
        const char* picture;
        int slot;  // of the 8 hits
    } cases[] = {{"when=year&date=2001", "imgyear.rc", 2},
                 {"when=month&date=2001/03", "imgmonth.rc", 6},
                 {"when=day&date=2001/03/07", "imgday.rc", 5},
                 {"date=2001/03/07", "imgmonth.rc", 6}};
    for (const Case& c : cases) {
        RunResult r = chart(site, c.params);
        EXPECT_EQ(r.status, 0) << c.params;
        Answer a = decode_answer(r.out);
        ASSERT_TRUE(a.ok) << c.params;
        GdImage background = picture(site.path("image/resource") / c.picture);
        ASSERT_TRUE(background);
        gdImagePtr p = a.image.get();
        EXPECT_EQ(gdImageSX(p), gdImageSX(background.get())) << c.params;
        EXPECT_EQ(gdImageSY(p), gdImageSY(background.get())) << c.params;
        int tx = 14 * c.slot + 8, by = gdImageSY(p) - 25;
        EXPECT_EQ(rgb_at(p, tx, by - 200), 0xD0D0D0u) << c.params;   // top edge, 200 rows up
        EXPECT_EQ(rgb_at(p, tx + 1, by - 100), 0x808080u) << c.params;
        EXPECT_EQ(rgb_at(p, tx + 12, by - 100), 0x303030u) << c.params;
        EXPECT_EQ(rgb_at(p, tx + 1, by + 1), 0x303030u) << c.params;
    }
}

TEST_F(StatChart, LeavesTheDatabaseUntouched) {
    const auto records = dump_db(db);
    const std::string bytes = site.read("save/home.db");
    for (const char* params : {"when=year&date=2001", "when=month&date=2001/03", "when=day&date=2001/03/07"}) {
        EXPECT_EQ(chart(site, params).status, 0) << params;
    }
    EXPECT_EQ(dump_db(db), records);
    EXPECT_EQ(site.read("save/home.db"), bytes);
}

// printf conversions in the date are plain characters of the keys
// and the title, never formats.
TEST_F(StatChart, DateIsNeverAFormat) {
    for (const char* when : {"year", "month", "day"}) {
        RunResult r = chart(site, std::string("when=") + when + "&date=%25n%25s/%25n/%25s%25s%25s%25s");
        EXPECT_EQ(r.status, 0) << when;
        EXPECT_TRUE(decode_answer(r.out).ok) << when;
    }
}

TEST_F(StatChart, UnknownWhenIsNamed) {
    for (const char* when : {"Year", "YEAR", "years", ""}) {
        RunResult r = chart(site, std::string("when=") + when);
        EXPECT_EQ(r.status, 1) << when;
        EXPECT_TRUE(is_error_image(r.out, std::string("Unknown when ('") + when + "')")) << when;
    }
}

TEST_F(StatChart, BackgroundThatCannotBeUsed) {
    fs::remove(site.path("image/resource/imgmonth.rc"));
    RunResult r = chart(site, "when=month");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_error_image(r.out, "Error, './image/resource/imgmonth.rc' file not found"));
    EXPECT_EQ(chart(site, "when=year").status, 0);  // the year picture is still there

    site.write("image/resource/imgday.rc", "GIF89a, but nothing after it");
    r = chart(site, "when=day");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_error_image(r.out, "Error, './image/resource/imgday.rc' is not a GIF picture"));
}

// Without the key, the month picture comes from the default path.
TEST_F(StatChart, DefaultMonthPicturePath) {
    std::string conf = site.read("conf/vc.conf");
    std::size_t at = conf.find("RC_IMGMONTH");
    ASSERT_NE(at, std::string::npos);
    conf.erase(at, conf.find('\n', at) - at);
    site.write("conf/vc.conf", conf);
    GdImage small(gdImageCreate(500, 240));
    gdImageColorAllocate(small.get(), 255, 255, 255);
    FILE* f = std::fopen(site.path("image/resource/imgmonth.rc").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    gdImageGif(small.get(), f);
    std::fclose(f);

    RunResult r = chart(site, "date=2001/03");
    ASSERT_EQ(r.status, 0);
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(gdImageSX(a.image.get()), 500);
    EXPECT_EQ(gdImageSY(a.image.get()), 240);
    EXPECT_EQ(rgb_at(a.image.get(), 14 * 6 + 8, 215 - 200), 0xD0D0D0u);  // the bar of the 7th reaches y = 15
}

}  // namespace
}  // namespace vorn::test
