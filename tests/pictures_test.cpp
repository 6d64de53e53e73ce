// SPDX-License-Identifier: GPL-3.0-or-later
// The pictures the build draws into the site: digit sets that compose into
// one palette image without losing a colour, and chart backgrounds that fit
// the positions the chart draws at.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "base/util.h"

namespace vorn::test {
namespace {

const fs::path kDigits = kBuiltSite / "image" / "digits";
const fs::path kResources = kBuiltSite / "image" / "resource";
constexpr char kPictures[] = "0123456789hmrap";

GdImage load_gif(const fs::path& file) {
    FilePtr in = util_fopen(file.string(), "rb");
    if (!in) return nullptr;
    return gif_read(in.get());
}

std::vector<std::string> set_names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(kDigits))
        if (entry.is_directory()) names.push_back(entry.path().filename().string());
    return names;
}

// Every set also ships drawn at twice its resolution, for high-density
// screens, under its name with this suffix.
const std::string kSharp = "-2x";

bool is_sharp(const std::string& set) { return set.size() > kSharp.size() && set.ends_with(kSharp); }

// The sets drawn at their design size, each with a sharp twin.
std::vector<std::string> design_set_names() {
    std::vector<std::string> names = set_names();
    std::erase_if(names, is_sharp);
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

TEST(DigitSets, EverySetAlsoShipsTwiceAsWideAndHigh) {
    std::vector<std::string> names = set_names();
    EXPECT_NE(std::find(names.begin(), names.end(), "d" + kSharp), names.end());
    for (const std::string& set : names)
        if (is_sharp(set)) {
            std::string design = set.substr(0, set.size() - kSharp.size());
            EXPECT_NE(std::find(names.begin(), names.end(), design), names.end()) << set << " sharpens no set";
        }
    for (const std::string& set : design_set_names()) {
        std::vector<GdImage> one = load_set(set), two = load_set(set + kSharp);
        ASSERT_EQ(one.size(), 15u) << set;
        ASSERT_EQ(two.size(), 15u) << set + kSharp;
        for (size_t i = 0; i < one.size(); ++i) {
            EXPECT_EQ(gdImageSX(two[i].get()), 2 * gdImageSX(one[i].get())) << set << " " << kPictures[i];
            EXPECT_EQ(gdImageSY(two[i].get()), 2 * gdImageSY(one[i].get())) << set << " " << kPictures[i];
        }
    }
}

// A picture's channels as numbers, three a pixel.
struct Channels {
    int w = 0, h = 0;
    std::vector<double> v;
    double at(int x, int y, int channel) const { return v[(static_cast<size_t>(y) * w + x) * 3 + channel]; }
};

// The picture `im` with each 2 x 2 block averaged into one pixel when
// `block` is 2, as it is when `block` is 1.
Channels averaged(gdImagePtr im, int block) {
    Channels c{gdImageSX(im) / block, gdImageSY(im) / block, {}};
    for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x) {
            double sum[3] = {0, 0, 0};
            for (int dy = 0; dy < block; ++dy)
                for (int dx = 0; dx < block; ++dx) {
                    unsigned rgb = rgb_at(im, x * block + dx, y * block + dy);
                    sum[0] += rgb >> 16;
                    sum[1] += (rgb >> 8) & 0xff;
                    sum[2] += rgb & 0xff;
                }
            for (double s : sum) c.v.push_back(s / (block * block));
        }
    return c;
}

// How alike two pictures of one size are: the mean absolute difference of
// the channel that differs most (0 to 255), and the correlation of their
// luminance patterns (-1 to 1).
struct Likeness {
    double difference = 0, correlation = 0;
};

Likeness likeness(const Channels& a, const Channels& b) {
    const size_t n = static_cast<size_t>(a.w) * a.h;
    double difference[3] = {0, 0, 0};
    std::vector<double> la, lb;
    for (int y = 0; y < a.h; ++y)
        for (int x = 0; x < a.w; ++x) {
            for (int ch = 0; ch < 3; ++ch) difference[ch] += std::fabs(a.at(x, y, ch) - b.at(x, y, ch));
            la.push_back(0.299 * a.at(x, y, 0) + 0.587 * a.at(x, y, 1) + 0.114 * a.at(x, y, 2));
            lb.push_back(0.299 * b.at(x, y, 0) + 0.587 * b.at(x, y, 1) + 0.114 * b.at(x, y, 2));
        }
    double mean_a = 0, mean_b = 0;
    for (size_t i = 0; i < n; ++i) {
        mean_a += la[i] / n;
        mean_b += lb[i] / n;
    }
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) {
        ab += (la[i] - mean_a) * (lb[i] - mean_b);
        aa += (la[i] - mean_a) * (la[i] - mean_a);
        bb += (lb[i] - mean_b) * (lb[i] - mean_b);
    }
    return {*std::max_element(difference, difference + 3) / n, ab / std::sqrt(aa * bb)};
}

// Measured on the shipped sets: a sharp picture averaged down differs from
// its design-size picture by at most 5.4 a channel on average, and their
// luminance correlates by 0.983 or more (glyph hinting and anti-aliasing at
// the two sizes). Any other digit of the set correlates by 0.943 at most
// (and differs by 4.5 or more: the sparse segments of "lcd" differ least);
// the same picture drawn one design pixel off correlates by 0.94 at most.
constexpr double kMostDifference = 6.0;
constexpr double kLeastCorrelation = 0.97;

bool same_design(const Likeness& l) { return l.difference < kMostDifference && l.correlation > kLeastCorrelation; }

// The largest mean difference between one of the sharp picture's two
// outermost rows or columns on a side and the design picture's outermost
// row or column there: a frame one design pixel wide is two pixels wide in
// the sharp picture. Measured: at most 4.4 for the shipped sets (a glow
// reaching the edge), 22 or more for a rim or groove left one pixel wide.
double frame_difference(gdImagePtr one, gdImagePtr two) {
    const int w = gdImageSX(two), h = gdImageSY(two);
    auto line = [&](int x, int y, int dx, int dy, int n) {
        double sum = 0;
        for (int i = 0; i < n; ++i, x += dx, y += dy) {
            unsigned a = rgb_at(two, x, y), b = rgb_at(one, x / 2, y / 2);
            int most = 0;
            for (int shift : {16, 8, 0})
                most = std::max(most, std::abs(static_cast<int>((a >> shift) & 0xff) - static_cast<int>((b >> shift) & 0xff)));
            sum += most;
        }
        return sum / n;
    };
    double worst = 0;
    for (int k = 0; k < 2; ++k)
        worst = std::max({worst, line(0, k, 1, 0, w), line(0, h - 1 - k, 1, 0, w), line(k, 0, 0, 1, h),
                          line(w - 1 - k, 0, 0, 1, h)});
    return worst;
}
constexpr double kMostFrameDifference = 6.0;

// Share of the design picture's edge pixels (those of another colour than
// a neighbour) whose 2 x 2 block in the sharp picture holds more than one
// colour; 0 for a design picture merely enlarged, whose blocks are all of
// one colour. Only the edges count: a flat design has wide areas of one
// colour at every resolution. Measured: 27 % or more in every shipped
// picture, the least in the dash and colon of the flat "plain" sets.
constexpr double kLeastDetail = 0.1;

double detailed_edges(gdImagePtr one, gdImagePtr two) {
    const int w = gdImageSX(one), h = gdImageSY(one);
    int detailed = 0, edges = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned c = rgb_at(one, x, y);
            bool edge = (x > 0 && rgb_at(one, x - 1, y) != c) || (x + 1 < w && rgb_at(one, x + 1, y) != c) ||
                        (y > 0 && rgb_at(one, x, y - 1) != c) || (y + 1 < h && rgb_at(one, x, y + 1) != c);
            if (!edge) continue;
            ++edges;
            unsigned s = rgb_at(two, 2 * x, 2 * y);
            detailed += s != rgb_at(two, 2 * x + 1, 2 * y) || s != rgb_at(two, 2 * x, 2 * y + 1) ||
                        s != rgb_at(two, 2 * x + 1, 2 * y + 1);
        }
    return edges == 0 ? 1.0 : static_cast<double>(detailed) / edges;
}

// Each sharp picture, averaged down to the design size, shows the design
// picture: same figure in the same place and size, same colours, same frame;
// yet it is drawn with its own detail, not enlarged. The comparison itself
// must tell the digits of a set apart, or it would prove nothing.
TEST(DigitSets, SharpSetsDrawEachCellsDesignAtTheirOwnResolution) {
    for (const std::string& set : design_set_names()) {
        std::vector<GdImage> one = load_set(set), two = load_set(set + kSharp);
        ASSERT_EQ(one.size(), 15u) << set;
        ASSERT_EQ(two.size(), 15u) << set + kSharp;
        std::vector<Channels> design, halved;
        for (size_t i = 0; i < one.size(); ++i) {
            ASSERT_EQ(gdImageSX(two[i].get()), 2 * gdImageSX(one[i].get())) << set << " " << kPictures[i];
            ASSERT_EQ(gdImageSY(two[i].get()), 2 * gdImageSY(one[i].get())) << set << " " << kPictures[i];
            design.push_back(averaged(one[i].get(), 1));
            halved.push_back(averaged(two[i].get(), 2));
            Likeness l = likeness(halved[i], design[i]);
            EXPECT_LT(l.difference, kMostDifference) << set << " " << kPictures[i];
            EXPECT_GT(l.correlation, kLeastCorrelation) << set << " " << kPictures[i];
            EXPECT_LT(frame_difference(one[i].get(), two[i].get()), kMostFrameDifference) << set << " " << kPictures[i];
            EXPECT_GE(detailed_edges(one[i].get(), two[i].get()), kLeastDetail) << set + kSharp << " " << kPictures[i] << " is enlarged, not drawn";
        }
        for (size_t i = 0; i < 10; ++i)
            for (size_t j = 0; j < 10; ++j)
                if (i != j) {
                    EXPECT_FALSE(same_design(likeness(halved[i], design[j])))
                        << set << ": " << kPictures[i] << " passes for " << kPictures[j];
                }
    }
}

// The real counter, showing the first visit in six cells of every set,
// answers with exactly the set's pictures side by side; a sharp set's
// answers, counter, date and time alike, are exactly twice the size of its
// design set's.
TEST(DigitSets, CounterAnswerShowsTheCellsUnchanged) {
    TempSite site;
    site.create_counter("home");
    std::map<std::string, std::pair<int, int>> answer_size;
    for (const std::string& set : set_names()) {
        // The date with both separators, the time with hour separator and
        // a/p: each picture has a fixed width, so the size is the same at
        // any moment.
        for (const std::string query : {"mode=date&style=c&digit=", "mode=time&style=a&digit="}) {
            Request req;
            req.query = query + set;
            RunResult r = run_cgi(site, req);
            ASSERT_EQ(r.status, 0) << req.query << r.err;
            Answer a = decode_answer(r.out);
            ASSERT_TRUE(a.ok) << req.query;
            answer_size[req.query] = {gdImageSX(a.image.get()), gdImageSY(a.image.get())};
        }
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
        answer_size[req.query] = {gdImageSX(a.image.get()), gdImageSY(a.image.get())};
        // The count rises by one per set, staying below 100: cells 0 to 3
        // show zeros.
        int mismatches = 0;
        for (int i = 0; i < 4; ++i)
            for (int y = 0; y < gdImageSY(zero.get()); ++y)
                for (int x = 0; x < cell; ++x) mismatches += rgb_at(a.image.get(), i * cell + x, y) != rgb_at(zero.get(), x, y);
        EXPECT_EQ(mismatches, 0) << set;
    }
    int sharp_sets = 0;
    for (const std::string& set : design_set_names()) {
        for (const std::string query : {"vdb=home&cntlen=6&digit=", "mode=date&style=c&digit=", "mode=time&style=a&digit="}) {
            auto [w, h] = answer_size.at(query + set);
            auto [sharp_w, sharp_h] = answer_size.at(query + set + kSharp);
            EXPECT_EQ(sharp_w, 2 * w) << query << set;
            EXPECT_EQ(sharp_h, 2 * h) << query << set;
        }
        ++sharp_sets;
    }
    EXPECT_GE(sharp_sets, 4);
}

// The sets the build draws and the ground each stands on: a set made for
// dark pages has a dark one, or it would show as a bright box there; a set
// for light pages a light or mid-grey one. A set NAME-dark is the twin of
// NAME for dark pages, with the same picture sizes, so that a page shows
// one or the other without its layout moving.
enum class Ground { kLight, kDark };

struct BuiltSet {
    const char* name;
    Ground ground;
};

const BuiltSet kBuiltSets[] = {
    {"d", Ground::kDark},          {"led", Ground::kDark},        {"flip", Ground::kDark},
    {"paper", Ground::kLight},     {"paper-dark", Ground::kDark}, {"plain", Ground::kLight},
    {"plain-dark", Ground::kDark}, {"ink", Ground::kLight},       {"lcd", Ground::kLight},
    {"chalk", Ground::kDark},      {"nixie", Ground::kDark},      {"neon", Ground::kDark},
    {"terminal", Ground::kDark},
};

void PrintTo(const BuiltSet& b, std::ostream* os) { *os << b.name; }

const std::string kDarkTwin = "-dark";

// The median luminance of all pixels of a set's pictures: its ground, as
// the figures cover the lesser part.
double ground_luma(const std::vector<GdImage>& pictures) {
    std::vector<double> all;
    for (const GdImage& p : pictures)
        for (int y = 0; y < gdImageSY(p.get()); ++y)
            for (int x = 0; x < gdImageSX(p.get()); ++x) all.push_back(luma(rgb_at(p.get(), x, y)));
    std::nth_element(all.begin(), all.begin() + static_cast<long>(all.size() / 2), all.end());
    return all[all.size() / 2];
}

double lightest_luma(const std::vector<GdImage>& pictures) {
    double lightest = 0;
    for (const GdImage& p : pictures)
        for (int y = 0; y < gdImageSY(p.get()); ++y)
            for (int x = 0; x < gdImageSX(p.get()); ++x) lightest = std::max(lightest, luma(rgb_at(p.get(), x, y)));
    return lightest;
}

// The size of the real program's picture answer to `query`.
std::pair<int, int> answer_size(const TempSite& site, const std::string& query) {
    RunResult r = run_cgi(site, get(query));
    EXPECT_EQ(r.status, 0) << query << r.err;
    Answer a = decode_answer(r.out);
    EXPECT_TRUE(a.ok) << query;
    if (!a.ok) return {0, 0};
    return {gdImageSX(a.image.get()), gdImageSY(a.image.get())};
}

// A counter of five cells (shown, not counted), a date with both
// separators and a time with AM/PM.
const std::string kSetQueries[] = {"vdb=home&count=no&cntlen=5&digit=", "mode=date&style=c&digit=",
                                   "mode=time&style=a&digit="};

class BuiltDigitSet : public ::testing::TestWithParam<BuiltSet> {};

// The set and its sharp twin each hold the fifteen pictures of one height,
// the twin's twice as wide and high; the real program answers a counter, a
// date and a time with either; the set stands on the ground listed; a dark
// twin has its light set's sizes everywhere, a darker ground and no glaring
// white.
TEST_P(BuiltDigitSet, ShipsWholeAndAnswersThroughTheProgram) {
    const std::string set = GetParam().name;
    std::vector<GdImage> one = load_set(set), two = load_set(set + kSharp);
    ASSERT_EQ(one.size(), 15u);
    ASSERT_EQ(two.size(), 15u);
    const int height = gdImageSY(one[0].get());
    for (size_t i = 0; i < one.size(); ++i) {
        EXPECT_EQ(gdImageSY(one[i].get()), height) << kPictures[i];
        EXPECT_EQ(gdImageSX(two[i].get()), 2 * gdImageSX(one[i].get())) << kPictures[i];
        EXPECT_EQ(gdImageSY(two[i].get()), 2 * height) << kPictures[i];
    }
    const double ground = ground_luma(one);
    if (GetParam().ground == Ground::kDark)
        EXPECT_LE(ground, 70) << "a bright box on a dark page";
    else
        EXPECT_GE(ground, 80) << "a dark hole in a light page";

    TempSite site;
    site.create_counter("home");
    std::map<std::string, std::pair<int, int>> sizes;
    for (const std::string& query : kSetQueries)
        for (const std::string& name : {set, set + kSharp}) sizes[query + name] = answer_size(site, query + name);
    for (const std::string& query : kSetQueries) {
        EXPECT_EQ(sizes[query + set].second, height) << query;
        EXPECT_EQ(sizes[query + set + kSharp].first, 2 * sizes[query + set].first) << query;
        EXPECT_EQ(sizes[query + set + kSharp].second, 2 * height) << query;
    }
    EXPECT_EQ(sizes[kSetQueries[0] + set].first, 5 * gdImageSX(one[0].get()));

    if (!set.ends_with(kDarkTwin)) return;
    const std::string light = set.substr(0, set.size() - kDarkTwin.size());
    for (const std::string& sharp : {std::string(), kSharp}) {
        std::vector<GdImage> twin = load_set(set + sharp), of = load_set(light + sharp);
        ASSERT_EQ(of.size(), 15u) << light + sharp;
        for (size_t i = 0; i < twin.size(); ++i) {
            EXPECT_EQ(gdImageSX(twin[i].get()), gdImageSX(of[i].get())) << sharp << " " << kPictures[i];
            EXPECT_EQ(gdImageSY(twin[i].get()), gdImageSY(of[i].get())) << sharp << " " << kPictures[i];
        }
        for (const std::string& query : kSetQueries) EXPECT_EQ(sizes[query + set + sharp], answer_size(site, query + light + sharp)) << query << sharp;
    }
    EXPECT_LT(ground, ground_luma(load_set(light)));
    EXPECT_LE(lightest_luma(one), 235) << "white figures glare on a dark page";
}

INSTANTIATE_TEST_SUITE_P(DigitSets, BuiltDigitSet, ::testing::ValuesIn(kBuiltSets), [](const auto& info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

// The build draws exactly the listed sets, each with its sharp twin: none
// missing, none drawn but left out of the list.
TEST(DigitSets, TheBuiltSetsAreTheListedOnes) {
    std::set<std::string> listed;
    for (const BuiltSet& b : kBuiltSets) {
        listed.insert(b.name);
        listed.insert(b.name + kSharp);
    }
    std::vector<std::string> names = set_names();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), listed);
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
