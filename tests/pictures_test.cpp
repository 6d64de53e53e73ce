// The pictures the build draws into the site: digit sets that compose into
// one palette image without losing a colour, and chart backgrounds that fit
// the positions the chart draws at.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "util.h"

namespace vorn::test {
namespace {

const fs::path kDigits = kBuiltSite / "image" / "digits";
const fs::path kResources = kBuiltSite / "image" / "resource";
constexpr char kPictures[] = "0123456789hmrap";

GdImage load_gif(const fs::path& file) {
    FilePtr in = util_fopen(file.string(), "rb");
    if (!in) return nullptr;
    return support_readgif(in.get());
}

std::vector<std::string> set_names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(kDigits))
        if (entry.is_directory()) names.push_back(entry.path().filename().string());
    return names;
}

// The fifteen pictures of a set, in the order of kPictures; fails the test
// for a picture that is missing or no GIF.
std::vector<GdImage> load_set(const std::string& set) {
    std::vector<GdImage> pictures;
    for (const char* c = kPictures; *c; ++c) {
        fs::path file = kDigits / set / (std::string(1, *c) + ".gif");
        GdImage im = load_gif(file);
        EXPECT_TRUE(im) << file << " does not decode as GIF";
        if (im) pictures.push_back(std::move(im));
    }
    return pictures;
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double luma(unsigned rgb) {
    return 0.299 * (rgb >> 16) + 0.587 * ((rgb >> 8) & 0xff) + 0.114 * (rgb & 0xff);
}

TEST(DigitSets, DefaultAndTwoMoreEachWithAllFifteenPictures) {
    std::vector<std::string> names = set_names();
    EXPECT_GE(names.size(), 3u);
    EXPECT_NE(std::find(names.begin(), names.end(), "d"), names.end());
    for (const std::string& set : names) EXPECT_EQ(load_set(set).size(), 15u) << set;
}

TEST(DigitSets, OneHeightOneDigitWidthAndDistinctPictures) {
    for (const std::string& set : set_names()) {
        std::vector<GdImage> pics = load_set(set);
        ASSERT_EQ(pics.size(), 15u) << set;
        for (size_t i = 0; i < pics.size(); ++i) {
            EXPECT_EQ(gdImageSY(pics[i].get()), gdImageSY(pics[0].get())) << set << " " << kPictures[i];
            if (i < 10) {
                EXPECT_EQ(gdImageSX(pics[i].get()), gdImageSX(pics[0].get())) << set << " " << kPictures[i];
            }
            EXPECT_EQ(gdImageGetTransparent(pics[i].get()), -1) << set << " " << kPictures[i];
            EXPECT_EQ(gdImageGetInterlaced(pics[i].get()), 0) << set << " " << kPictures[i];
            double lightest = 0, darkest = 255;
            for (int y = 0; y < gdImageSY(pics[i].get()); ++y)
                for (int x = 0; x < gdImageSX(pics[i].get()); ++x) {
                    lightest = std::max(lightest, luma(rgb_at(pics[i].get(), x, y)));
                    darkest = std::min(darkest, luma(rgb_at(pics[i].get(), x, y)));
                }
            EXPECT_GE(lightest - darkest, 120) << set << " " << kPictures[i] << " has too little contrast to read";
        }
        // A glyph that failed to draw would leave two pictures alike.
        for (size_t i = 0; i < pics.size(); ++i)
            for (size_t j = i + 1; j < pics.size(); ++j) {
                gdImagePtr a = pics[i].get(), b = pics[j].get();
                if (gdImageSX(a) != gdImageSX(b)) continue;
                bool same = true;
                for (int y = 0; y < gdImageSY(a) && same; ++y)
                    for (int x = 0; x < gdImageSX(a) && same; ++x) same = rgb_at(a, x, y) == rgb_at(b, x, y);
                EXPECT_FALSE(same) << set << ": " << kPictures[i] << " and " << kPictures[j] << " look alike";
            }
    }
}

// The counter copies the cells into one palette image; with more than 256
// colours in a set gd would substitute near colours and the row would show
// seams. Every pixel must arrive exactly.
TEST(DigitSets, ComposeIntoOnePaletteImageWithoutChangingAColour) {
    for (const std::string& set : set_names()) {
        std::vector<GdImage> pics = load_set(set);
        ASSERT_EQ(pics.size(), 15u) << set;
        int width = 0;
        std::set<unsigned> colours;
        for (const GdImage& p : pics) {
            width += gdImageSX(p.get());
            for (int y = 0; y < gdImageSY(p.get()); ++y)
                for (int x = 0; x < gdImageSX(p.get()); ++x) colours.insert(rgb_at(p.get(), x, y));
        }
        EXPECT_LE(colours.size(), 256u) << set;
        GdImage row(gdImageCreate(width, gdImageSY(pics[0].get())));
        int at = 0;
        for (const GdImage& p : pics) {
            gdImageCopy(row.get(), p.get(), at, 0, 0, 0, gdImageSX(p.get()), gdImageSY(p.get()));
            int mismatches = 0;
            for (int y = 0; y < gdImageSY(p.get()); ++y)
                for (int x = 0; x < gdImageSX(p.get()); ++x)
                    mismatches += rgb_at(row.get(), at + x, y) != rgb_at(p.get(), x, y);
            EXPECT_EQ(mismatches, 0) << set << " cell at x " << at;
            at += gdImageSX(p.get());
        }
    }
}

// The real counter, showing the first visit in six cells of every set,
// answers with exactly the set's pictures side by side.
TEST(DigitSets, CounterAnswerShowsTheCellsUnchanged) {
    TempSite site;
    site.create_counter("home");
    for (const std::string& set : set_names()) {
        Request req;
        req.query = "vdb=home&cntlen=6&digit=" + set;
        RunResult r = run_cgi(site, req);
        ASSERT_EQ(r.status, 0) << set << r.err;
        Answer a = decode_answer(r.out);
        ASSERT_TRUE(a.ok) << set;
        GdImage zero = load_gif(kDigits / set / "0.gif");
        ASSERT_TRUE(zero);
        int cell = gdImageSX(zero.get());
        ASSERT_EQ(gdImageSX(a.image.get()), 6 * cell) << set;
        ASSERT_EQ(gdImageSY(a.image.get()), gdImageSY(zero.get())) << set;
        // The count rises by one per request: cells 0 to 4 show zeros.
        int mismatches = 0;
        for (int i = 0; i < 5; ++i)
            for (int y = 0; y < gdImageSY(zero.get()); ++y)
                for (int x = 0; x < cell; ++x) mismatches += rgb_at(a.image.get(), i * cell + x, y) != rgb_at(zero.get(), x, y);
        EXPECT_EQ(mismatches, 0) << set;
    }
}

struct Chart {
    const char* file;
    int average_slot;
};
constexpr Chart kCharts[] = {{"imgyear.rc", 12}, {"imgmonth.rc", 31}, {"imgday.rc", 24}};

TEST(ChartBackgrounds, FitTheBarsNumbersAndTitle) {
    for (const Chart& chart : kCharts) {
        GdImage im = load_gif(kResources / chart.file);
        ASSERT_TRUE(im) << chart.file;
        int w = gdImageSX(im.get()), h = gdImageSY(im.get());
        int average_right = 14 * chart.average_slot + 25;
        EXPECT_GE(w, average_right + 10 + 140) << chart.file << ": numbers would overlap the bars";
        EXPECT_GE(w, 11 + 30 * 9) << chart.file << ": the longest title would not fit";
        EXPECT_GE(h, 225 + 26) << chart.file << ": no room for 200-pixel bars under the title";
        EXPECT_EQ(gdImageGetTransparent(im.get()), -1) << chart.file;
    }
}

// The chart allocates six colours of its own on the background.
TEST(ChartBackgrounds, LeaveRoomForTheChartsColours) {
    for (const Chart& chart : kCharts) {
        GdImage im = load_gif(kResources / chart.file);
        ASSERT_TRUE(im) << chart.file;
        EXPECT_LE(gdImageColorsTotal(im.get()), 250) << chart.file;
    }
}

// The real chart of an empty counter: every bar is a zero bar, a light row
// on the base row with its dark base line below, in the exact colours the
// chart allocates, which only holds while the palette has room for them.
TEST(ChartBackgrounds, ChartAnswerDrawsBarsInTheirOwnColours) {
    TempSite site;
    site.create_counter("home");
    for (const auto& [when, chart] : {std::pair{"year", kCharts[0]}, {"month", kCharts[1]}, {"day", kCharts[2]}}) {
        Request req;
        req.query = std::string("vdb=home&mode=stat&date=2001/03/07&when=") + when;
        RunResult r = run_cgi(site, req);
        ASSERT_EQ(r.status, 0) << when << r.err;
        Answer a = decode_answer(r.out);
        ASSERT_TRUE(a.ok) << when;
        GdImage background = load_gif(kResources / chart.file);
        ASSERT_TRUE(background);
        gdImagePtr p = a.image.get();
        int w = gdImageSX(p), base = gdImageSY(p) - 25;
        EXPECT_EQ(w, gdImageSX(background.get())) << when;
        EXPECT_EQ(rgb_at(p, 8, base), 0xd0d0d0u) << when;          // top edge of slot 0
        EXPECT_EQ(rgb_at(p, 8, base + 1), 0x303030u) << when;      // its base line
        int average = 14 * chart.average_slot + 13;
        EXPECT_EQ(rgb_at(p, average + 6, base), 0xd0d0d0u) << when;
        // Above the zero bars the background is untouched.
        EXPECT_EQ(rgb_at(p, 14, base - 100), rgb_at(background.get(), 14, base - 100)) << when;
    }
}

// Black numbers go onto light fields, the light title onto a dark band,
// the grey bars onto a light plot.
TEST(ChartBackgrounds, ContrastWhereTheChartDraws) {
    for (const Chart& chart : kCharts) {
        GdImage im = load_gif(kResources / chart.file);
        ASSERT_TRUE(im) << chart.file;
        gdImagePtr p = im.get();
        int w = gdImageSX(p), h = gdImageSY(p);
        double darkest_field = 255, lightest_title = 0, darkest_plot = 255;
        for (int row : {45, 77, 109, 141, 173})
            for (int y = row; y < row + 13; ++y)
                for (int x = w - 140; x < w - 40; ++x) darkest_field = std::min(darkest_field, luma(rgb_at(p, x, y)));
        for (int y = 7; y < 23; ++y)
            for (int x = 11; x < 11 + 30 * 9; ++x) lightest_title = std::max(lightest_title, luma(rgb_at(p, x, y)));
        for (int y = h - 225; y <= h - 25; ++y)
            for (int x = 8; x <= 14 * chart.average_slot + 25; ++x) darkest_plot = std::min(darkest_plot, luma(rgb_at(p, x, y)));
        EXPECT_GE(darkest_field, 200) << chart.file;
        EXPECT_LE(lightest_title, 120) << chart.file;
        EXPECT_GE(darkest_plot, 190) << chart.file;
        // A label under every slot and under the average bar, below the
        // tick marks.
        for (int slot = 0; slot <= chart.average_slot; ++slot) {
            int left = slot == chart.average_slot ? 14 * slot + 13 : 14 * slot + 8;
            double darkest_label = 255;
            for (int y = h - 21; y < h - 1; ++y)
                for (int x = left; x <= left + 12; ++x) darkest_label = std::min(darkest_label, luma(rgb_at(p, x, y)));
            EXPECT_LE(darkest_label, 150) << chart.file << " slot " << slot;
        }
    }
}

// The generator is a build step: run again it must give the same bytes (a
// rebuild changes no installed picture), and a place it cannot write to is
// reported with a failing status instead of a crash or a partial tree.
TEST(PictureGenerator, RedrawsTheSameBytesAndReportsAnUnwritableDirectory) {
    const std::string imagegen = std::string(VORN_BIN_DIR) + "/imagegen";
    TempSite site(false);
    fs::path out = site.path("image");
    ASSERT_EQ(std::system(("'" + imagegen + "' '" + out.string() + "'").c_str()), 0);
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(kBuiltSite / "image")) {
        if (!entry.is_regular_file() || entry.path().filename() == ".stamp") continue;
        fs::path again = out / fs::relative(entry.path(), kBuiltSite / "image");
        EXPECT_EQ(read_file(again), read_file(entry.path())) << again;
        ++files;
    }
    EXPECT_GE(files, 3 * 15 + 3);

    site.write("plain-file", "");
    std::string cmd = "'" + imagegen + "' '" + site.path("plain-file/image").string() + "' 2>/dev/null";
    int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
}  // namespace vorn::test
