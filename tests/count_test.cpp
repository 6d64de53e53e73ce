// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <gdbm.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "base/util.h"
#include "harness.h"
#include "vorncounter/vc.h"
#include "picture/cells.h"
#include "picture/gif.h"

namespace vorn::test {
namespace {

constexpr char kSetDir[] = "image/digits/t/";
constexpr int kHeight = 20;

// A picture the test draws itself: `rgb` from the top down to row
// `lower_from`, `lower_rgb` below it.
struct Picture {
    int width;
    int height = kHeight;
    unsigned rgb;
    int lower_from = -1;  // -1: one colour throughout
    unsigned lower_rgb = 0;
};

int allocate(gdImagePtr im, unsigned rgb) {
    return gdImageColorAllocate(im, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

// Writes `pic` as a GIF; `decorate` may set transparency or interlacing.
void write_picture(const fs::path& path, const Picture& pic,
                   const std::function<void(gdImagePtr)>& decorate = {}) {
    GdImage im(gdImageCreate(pic.width, pic.height));
    ASSERT_NE(im, nullptr);
    const int top = allocate(im.get(), pic.rgb);
    gdImageFilledRectangle(im.get(), 0, 0, pic.width - 1, pic.height - 1, top);
    if (pic.lower_from >= 0) {
        const int lower = allocate(im.get(), pic.lower_rgb);
        gdImageFilledRectangle(im.get(), 0, pic.lower_from, pic.width - 1, pic.height - 1, lower);
    }
    if (decorate) decorate(im.get());
    fs::create_directories(path.parent_path());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    gdImageGif(im.get(), f);
    std::fclose(f);
}

// The test set "t": every character its own colour; 0 and 1 are 15 pixels
// wide and 2 is 8, the others 5 to 16, so a wrong cell shows in the width
// as well as in the colour.
constexpr char kChars[] = "0123456789hmrap";

unsigned colour_of(char c) {
    const unsigned i = static_cast<unsigned>(std::string(kChars).find(c));
    return (((i * 17 + 30) & 0xFF) << 16) | (((255 - i * 13) & 0xFF) << 8) | ((i * 29 + 7) & 0xFF);
}

int width_of(char c) {
    if (c == '0' || c == '1') return 15;
    if (c == '2') return 8;
    return 5 + static_cast<int>(std::string(kChars).find(c));
}

void write_set(const TempSite& site) {
    for (const char* c = kChars; *c; ++c) {
        write_picture(site.path(std::string(kSetDir) + *c + ".gif"), {width_of(*c), kHeight, colour_of(*c)});
    }
}

// Checks that `im` shows exactly the pictures of `chars`, edge to edge.
void expect_cells(gdImagePtr im, const std::string& chars) {
    int width = 0;
    for (char c : chars) width += width_of(c);
    ASSERT_EQ(gdImageSX(im), width) << chars;
    ASSERT_EQ(gdImageSY(im), kHeight) << chars;
    int x = 0;
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const int right = x + width_of(chars[i]) - 1;
        for (int px : {x, right}) {
            for (int py : {0, kHeight - 1}) {
                EXPECT_EQ(rgb_at(im, px, py), colour_of(chars[i]))
                    << "cell " << i << " of " << chars << " at (" << px << "," << py << ")";
            }
        }
        x = right + 1;
    }
}

// Stores a total in a new counter the way the program keeps it: the text
// and its terminating zero byte under the key "totcnt" and its zero byte.
void create_counter_with_total(const TempSite& site, const std::string& name, std::string total) {
    site.create_counter(name);
    const std::string path = site.path("save/" + name + ".db").string();
    GDBM_FILE db = gdbm_open(path.c_str(), 0, GDBM_WRITER, 0, nullptr);
    ASSERT_NE(db, nullptr) << path;
    std::string key = "totcnt";
    datum k{key.data(), static_cast<int>(key.size() + 1)};
    datum v{total.data(), static_cast<int>(total.size() + 1)};
    EXPECT_EQ(gdbm_store(db, k, v, GDBM_REPLACE), 0);
    gdbm_close(db);
}

std::optional<std::string> stored_total(const TempSite& site, const std::string& name) {
    auto records = dump_db(site.path("save/" + name + ".db"));
    auto it = records.find(std::string("totcnt", 7));
    if (it == records.end()) return std::nullopt;
    return it->second;
}

RunResult request(const TempSite& site, const std::string& query) {
    Request req;
    req.query = query;
    return run_cgi(site, req);
}

// Shows the counter `query` asks for and checks the pictures of `chars`.
void expect_counter(const TempSite& site, const std::string& query, const std::string& chars) {
    RunResult r = request(site, query);
    EXPECT_EQ(r.status, 0) << query;
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok) << query;
    expect_cells(a.image.get(), chars);
}

// Checks that `query` is answered with the error image of `message`.
void expect_error(const TempSite& site, const std::string& query, const std::string& message) {
    RunResult r = request(site, query);
    EXPECT_EQ(r.status, 1) << query;
    EXPECT_TRUE(is_error_image(r.out, message)) << query << "\nexpected: " << message;
}

std::string utc_now(const char* format) {
    std::time_t now = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, format, std::gmtime(&now));
    return buf;
}

std::string morning_mark() { return utc_now("%H") < "12" ? "a" : "p"; }

// Runs a date or time request whose cells are `text` of the present moment
// (the harness fixes TZ=UTC). Retries once when the text changed during
// the run.
void expect_clock_cells(const TempSite& site, const std::string& query,
                        const std::function<std::string()>& text) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::string before = text();
        RunResult r = request(site, query);
        if (text() != before && attempt == 0) continue;
        EXPECT_EQ(r.status, 0) << query;
        Answer a = decode_answer(r.out);
        ASSERT_TRUE(a.ok) << query;
        expect_cells(a.image.get(), before);
        return;
    }
}

TEST(count_makeimage, CellsStandEdgeToEdgeFromTheLeft) {
    TempSite site;
    write_set(site);
    create_counter_with_total(site, "c", "11");
    RunResult r = request(site, "vdb=c&digit=t&cntlen=3");
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.out.rfind(kImageHeader, 0), 0u) << "the header comes first";
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    gdImagePtr im = a.image.get();
    // 0.gif, 1.gif (15 pixels each) and 2.gif (8 pixels): cells at 0, 15, 30.
    ASSERT_EQ(gdImageSX(im), 38);
    ASSERT_EQ(gdImageSY(im), kHeight);
    for (int y : {0, kHeight / 2, kHeight - 1}) {
        for (int x : {0, 14}) EXPECT_EQ(rgb_at(im, x, y), colour_of('0')) << x << "," << y;
        for (int x : {15, 29}) EXPECT_EQ(rgb_at(im, x, y), colour_of('1')) << x << "," << y;
        for (int x : {30, 37}) EXPECT_EQ(rgb_at(im, x, y), colour_of('2')) << x << "," << y;
    }
    EXPECT_EQ(stored_total(site, "c"), std::string("12", 3));
}

TEST(count_makeimage, CounterPaddedOrCutToCntlen) {
    TempSite site;
    write_set(site);
    create_counter_with_total(site, "pad", "6");
    expect_counter(site, "vdb=pad&digit=t&cntlen=6", "000007");
    create_counter_with_total(site, "cut", "999");
    expect_counter(site, "vdb=cut&digit=t&cntlen=3", "000");
    EXPECT_EQ(stored_total(site, "cut"), std::string("1000", 5));
    create_counter_with_total(site, "exact", "1233");
    expect_counter(site, "vdb=exact&digit=t&cntlen=4", "1234");
    // The widths at both ends of the accepted range.
    create_counter_with_total(site, "one", "41");
    expect_counter(site, "vdb=one&digit=t&cntlen=1", "2");
    create_counter_with_total(site, "wide", "8");
    expect_counter(site, "vdb=wide&digit=t&cntlen=64", std::string(63, '0') + "9");
}

TEST(count_makeimage, TallerCellIsCutAtTheBottomEdge) {
    TempSite site;
    write_set(site);
    // 1.gif is 30 pixels high: its top 20 rows in one colour, the rest in
    // another that must not appear.
    const unsigned hidden = 0x123456;
    write_picture(site.path(std::string(kSetDir) + "1.gif"),
                  {15, 30, colour_of('1'), kHeight, hidden});
    create_counter_with_total(site, "c", "11");
    expect_counter(site, "vdb=c&digit=t&cntlen=3", "012");
    RunResult r = request(site, "vdb=c&digit=t&cntlen=2");  // 13: cell 0 is now the tall 1
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(gdImageSY(a.image.get()), 30);
    EXPECT_EQ(rgb_at(a.image.get(), 0, 29), hidden);
}

TEST(count_makeimage, CellTransparencyAndInterlaceAreNotCarriedOver) {
    TempSite site;
    write_set(site);
    write_picture(site.path(std::string(kSetDir) + "5.gif"), {width_of('5'), kHeight, colour_of('5')},
                  [](gdImagePtr im) {
                      gdImageColorTransparent(im, allocate(im, 0xFEFEFE));
                      gdImageInterlace(im, 1);
                  });
    create_counter_with_total(site, "c", "4");
    RunResult r = request(site, "vdb=c&digit=t&cntlen=1");
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    expect_cells(a.image.get(), "5");
    EXPECT_EQ(gdImageGetTransparent(a.image.get()), -1);
    EXPECT_EQ(gdImageGetInterlaced(a.image.get()), 0);
}

TEST(count_makeimage, DateAndTimeFromTheClock) {
    TempSite site;
    write_set(site);
    expect_clock_cells(site, "mode=date&style=e&digit=t", [] { return utc_now("%Y"); });
    expect_clock_cells(site, "mode=date&style=b&digit=t", [] { return utc_now("%Yh%mh%d"); });
    expect_clock_cells(site, "mode=time&style=f&digit=t", morning_mark);
    expect_clock_cells(site, "mode=time&style=b&digit=t", [] { return utc_now("%Hr%M"); });
}

TEST(count_makeimage, MissingPictureAnswersErrorAfterCountingTheHit) {
    TempSite site;
    write_set(site);
    fs::remove(site.path(std::string(kSetDir) + "7.gif"));
    create_counter_with_total(site, "c", "6");
    expect_error(site, "vdb=c&digit=t&cntlen=6", "Image file open error. ('./image/digits/t/7.gif')");
    EXPECT_EQ(stored_total(site, "c"), std::string("7", 2));

    // A date needs no database; a missing marker picture is named the same way.
    fs::remove(site.path(std::string(kSetDir) + "h.gif"));
    expect_error(site, "mode=date&style=a&digit=t", "Image file open error. ('./image/digits/t/h.gif')");
}

TEST(count_makeimage, PictureThatIsNoGifAnswersDecodeError) {
    TempSite site;
    write_set(site);
    create_counter_with_total(site, "c", "0");
    // 0.gif is the first cell of every answer below.
    const std::string path = std::string(kSetDir) + "0.gif";
    for (const std::string& content : {std::string("not a picture"), std::string(),
                                       std::string("GIF89a\x05\x00\x05\x00", 10)}) {
        site.write(path, content);
        expect_error(site, "vdb=c&digit=t&cntlen=3", "Image file decode error. ('./image/digits/t/0.gif')");
    }
}

TEST(count_makeimage, UnsafeDigitSetIsRefusedBeforeTheHit) {
    TempSite site;
    write_set(site);
    site.create_counter("c");
    for (const std::string digit : {"../t", "..", "t/../t", "a/b", "/t", "t.."}) {
        expect_error(site, "vdb=c&cntlen=3&digit=" + digit,
                     "Invalid digit set ('" + digit + "'): a name may not hold '/' or '..'");
    }
    expect_error(site, "mode=time&style=b&digit=..%2Fdigits%2Ft",
                 "Invalid digit set ('../digits/t'): a name may not hold '/' or '..'");
    EXPECT_EQ(stored_total(site, "c"), std::nullopt) << "a refused request recorded a hit";
    // One dot is an ordinary character of a set name.
    fs::rename(site.path(kSetDir), site.path("image/digits/t.v2"));
    expect_counter(site, "vdb=c&digit=t.v2&cntlen=2", "01");
}

TEST(count_makeimage, CntlenOutsideOneTo64IsRefusedBeforeTheHit) {
    TempSite site;
    write_set(site);
    site.create_counter("c");
    for (const std::string cntlen : {"0", "-5", "abc", "", "65", "99999999999999999999999"}) {
        expect_error(site, "vdb=c&digit=t&cntlen=" + cntlen, "Invalid cntlen ('" + cntlen + "'): use 1 to 64");
    }
    EXPECT_EQ(stored_total(site, "c"), std::nullopt) << "a refused request recorded a hit";
    // Read as strtol reads it: leading digits count, the rest is ignored.
    expect_counter(site, "vdb=c&digit=t&cntlen=3xyz", "001");
}

TEST(count_makeimage, CompositionTooLargeForGdIsRefused) {
    TempSite site;
    write_set(site);
    // 63 cells of the widest GIF under a cell 0 of 600 rows: more pixels
    // than gd creates in one image, from pictures that are small to decode.
    write_picture(site.path(std::string(kSetDir) + "9.gif"), {1, 600, colour_of('9')});
    write_picture(site.path(std::string(kSetDir) + "1.gif"), {65535, 1, colour_of('1')});
    create_counter_with_total(site, "c", "9" + std::string(62, '1') + "0");
    expect_error(site, "vdb=c&digit=t&cntlen=64", "Image create error. (4128706x600)");
}

}  // namespace
}  // namespace vorn::test

namespace vorn::test {
namespace {

// The answer composed the way gd composes it, cell by cell with
// gdImageCopy: what cells_copy must give, byte for byte.
std::string gif_of(gdImagePtr im) {
    int size = 0;
    void* data = gdImageGifPtr(im, &size);
    std::string bytes(static_cast<const char*>(data), static_cast<std::size_t>(size));
    gdFree(data);
    return bytes;
}

std::pair<std::string, std::string> composed(const std::vector<gdImagePtr>& cells) {
    int width = 0;
    for (gdImagePtr c : cells) width += gdImageSX(c);
    GdImage by_gd(gdImageCreate(width, gdImageSY(cells.front())));
    GdImage ours(gdImageCreate(width, gdImageSY(cells.front())));
    int x = 0;
    CellColors colors;
    for (gdImagePtr c : cells) {
        gdImageCopy(by_gd.get(), c, x, 0, 0, 0, gdImageSX(c), gdImageSY(c));
        cells_copy(ours.get(), c, x, colors);
        x += gdImageSX(c);
    }
    return {gif_of(by_gd.get()), gif_of(ours.get())};
}

GdImage read_picture(const fs::path& path) {
    FilePtr in = util_fopen(path.string(), "rb");
    return in ? gif_read(in.get()) : GdImage();
}

// Every picture of every built digit set, in texts of many cells.
TEST(cells_copy, SameBytesAsGdImageCopyForEverySet) {
    int sets = 0;
    for (const auto& dir : fs::directory_iterator(kBuiltSite / "image" / "digits")) {
        std::map<char, GdImage> pictures;
        for (char c : std::string("0123456789hmrap")) pictures[c] = read_picture(dir.path() / (std::string(1, c) + ".gif"));
        for (const std::string text : {"0123456789", "03h11m2001", "2001m03h11", "12r05a", "99999999", "p", "8080808080808"}) {
            std::vector<gdImagePtr> cells;
            for (char c : text) {
                ASSERT_TRUE(pictures[c]) << dir.path() << " " << c;
                cells.push_back(pictures[c].get());
            }
            auto [by_gd, ours] = composed(cells);
            EXPECT_EQ(ours, by_gd) << dir.path().filename() << " " << text;
        }
        ++sets;
    }
    EXPECT_GE(sets, 4);
}

// Pictures a site may bring: a transparent colour, a cell taller than the
// first (cut at the bottom, its colours still taken into the palette), and
// more colours than a palette holds (gd then takes the nearest).
TEST(cells_copy, SameBytesAsGdImageCopyForOddPictures) {
    GdImage small(gdImageCreate(5, 4));
    const int bg = gdImageColorAllocate(small.get(), 10, 20, 30);
    const int fg = gdImageColorAllocate(small.get(), 200, 100, 0);
    gdImageFilledRectangle(small.get(), 0, 0, 4, 3, bg);
    gdImageLine(small.get(), 0, 0, 4, 3, fg);
    gdImageColorTransparent(small.get(), bg);

    GdImage tall(gdImageCreate(3, 9));
    const int t1 = gdImageColorAllocate(tall.get(), 1, 2, 3);
    const int only_below = gdImageColorAllocate(tall.get(), 250, 0, 250);
    gdImageFilledRectangle(tall.get(), 0, 0, 2, 8, t1);
    gdImageFilledRectangle(tall.get(), 0, 6, 2, 8, only_below);

    // 200 colours each in two pictures, 400 in all.
    std::vector<GdImage> many;
    for (int k = 0; k < 2; ++k) {
        GdImage im(gdImageCreate(20, 10));
        for (int i = 0; i < 200; ++i) {
            const int c = gdImageColorAllocate(im.get(), (i * 7 + k * 3) % 256, (i * 13 + k * 101) % 256, (i * 29 + k) % 256);
            gdImageSetPixel(im.get(), i % 20, i / 20, c);
        }
        many.push_back(std::move(im));
    }
    for (const std::vector<gdImagePtr>& cells :
         {std::vector<gdImagePtr>{small.get(), tall.get(), small.get()}, std::vector<gdImagePtr>{tall.get(), small.get()},
          std::vector<gdImagePtr>{many[0].get(), many[1].get(), small.get(), many[0].get()}}) {
        auto [by_gd, ours] = composed(cells);
        EXPECT_EQ(ours, by_gd);
    }
}

}  // namespace
}  // namespace vorn::test
