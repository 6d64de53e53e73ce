// SPDX-License-Identifier: GPL-3.0-or-later
// Hostile requests against the built vorncounter, run as a web server runs
// it. Whatever arrives, the program must answer with a picture (the error
// image where it refuses, naming the problem), end with status 0 or 1,
// write nothing to standard error (no sanitizer report), finish within a
// time limit, and leave every file of the site as it was, except for the
// counter records of a hit it actually recorded.
#include <gdbm.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "vorncounter/vc.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;

// Ten one-second open attempts may pass before a locked or unreadable
// counter is given up; sanitizer builds are slower still.
constexpr auto kLimit = 40s;

const std::string kVersionError = "VornCounter-2.0.0 beta1 (March 11, 2001)";
const std::string kLong(5000, 'x');
const std::string kLongDigits(5000, '9');
const std::string kFormats = "%s%n%x";          // as the program sees it
const std::string kFormatsSent = "%25s%25n%25x";  // as it travels in a query

// The counter every case runs against: 41 hits recorded in March 2001.
const std::map<std::string, std::string> kCounterRecords = {
    {"totcnt", "41"}, {"2001/03/11/09", "41"}, {"startdate", "2001/03/11/09"}};

enum class Expect { kPicture, kError, kAnyError };

struct HostileCase {
    std::string name;
    Request req;
    Expect expect = Expect::kPicture;
    std::string message;  // the error image's text, for Expect::kError
    int hits = 0;         // hits recorded on counter c
    std::function<void(const TempSite&)> prepare = nullptr;
    int cells = 0;        // for a counter picture: the cells it must have
};

Request post(const std::string& body, std::optional<std::string> length) {
    Request r;
    r.method = "POST";
    r.body = body;
    r.content_length = std::move(length);
    return r;
}

HostileCase picture(std::string name, Request req, int hits) {
    return {std::move(name), std::move(req), Expect::kPicture, "", hits};
}

HostileCase refused(std::string name, Request req, std::string message, int hits = 0) {
    return {std::move(name), std::move(req), Expect::kError, std::move(message), hits};
}

// The refusals of names that would leave their directories, and of cell
// counts outside 1 to 64: `sent` as it travels in the query, `decoded` as
// the message shows it.
HostileCase bad_counter(std::string name, const std::string& sent, const std::string& decoded) {
    return refused(std::move(name), get("vdb=" + sent),
                   "Invalid counter name ('" + decoded + "'): a name may not hold '/' or '..'");
}

HostileCase bad_digit(std::string name, const std::string& query, const std::string& decoded) {
    return refused(std::move(name), get(query), "Invalid digit set ('" + decoded + "'): a name may not hold '/' or '..'");
}

HostileCase bad_cntlen(std::string name, const std::string& sent, const std::string& decoded) {
    return refused(std::move(name), get("vdb=c&cntlen=" + sent), "Invalid cntlen ('" + decoded + "'): use 1 to 64");
}

// An error image whose message the test does not know byte for byte.
HostileCase any_error(std::string name, Request req) {
    return {std::move(name), std::move(req), Expect::kAnyError, "", 0};
}

// The error image shows at most kMaxErrorMessage bytes of its message.
std::string shown(const std::string& message) { return message.substr(0, kMaxErrorMessage); }

std::string digit_path(const std::string& set, char c) {
    return "./image/digits/" + set + "/" + std::string(1, c) + ".gif";
}

// True for any answer of the error path: the image header and a GIF strip
// 21 pixels high whose palette is the error image's four colours.
bool looks_like_error_image(const std::string& out) {
    const std::string header = kImageHeader;
    if (out.compare(0, header.size(), header) != 0) return false;
    std::string gif = out.substr(header.size());
    GdImage im(gdImageCreateFromGifPtr(static_cast<int>(gif.size()), gif.data()));
    if (!im || gdImageSY(im.get()) != 21 || gdImageColorsTotal(im.get()) != 4) return false;
    const unsigned want[] = {0x000000, 0xCFCFFF, 0x4F4FFF, 0x00FF00};
    for (int i = 0; i < 4; ++i) {
        unsigned rgb = (static_cast<unsigned>(gdImageRed(im.get(), i)) << 16) |
                       (static_cast<unsigned>(gdImageGreen(im.get(), i)) << 8) |
                       static_cast<unsigned>(gdImageBlue(im.get(), i));
        if (rgb != want[i]) return false;
    }
    return true;
}

// A short account of an answer for failure messages.
std::string describe(const RunResult& r) {
    std::string d = "status " + std::to_string(r.status) + ", " + std::to_string(r.out.size()) + " bytes";
    const std::string header = kImageHeader;
    if (r.out.compare(0, header.size(), header) == 0) {
        std::string gif = r.out.substr(header.size());
        GdImage im(gdImageCreateFromGifPtr(static_cast<int>(gif.size()), gif.data()));
        if (im) d += ", GIF " + std::to_string(gdImageSX(im.get())) + "x" + std::to_string(gdImageSY(im.get()));
        if (looks_like_error_image(r.out)) {
            d += " (an error image of " + std::to_string((gdImageSX(im.get()) - 12) / 6) + " characters)";
        }
    }
    return d;
}

// Every file below the site with its bytes, except the counter database
// whose records are compared on their own, and its journal while it guards
// no change (a visit leaves it empty).
std::map<std::string, std::string> site_files(const TempSite& site, const fs::path& skip) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(site.root())) {
        if (e.path() == skip || (e.path() == skip.string() + "-journal" && journal_idle(e.path()))) continue;
        std::string rel = fs::relative(e.path(), site.root()).string();
        files[rel] = e.is_regular_file() ? site.read(rel) : std::string("<not a regular file>");
    }
    return files;
}

std::vector<std::string> changed_files(const std::map<std::string, std::string>& a,
                                       const std::map<std::string, std::string>& b) {
    std::vector<std::string> names;
    for (const auto& [k, v] : a) {
        auto it = b.find(k);
        if (it == b.end() || it->second != v) names.push_back(k);
    }
    for (const auto& [k, v] : b) {
        if (!a.count(k)) names.push_back(k);
    }
    return names;
}

std::string text_of(const std::map<std::string, std::string>& records, const std::string& key) {
    auto it = records.find(key + std::string(1, '\0'));
    if (it == records.end()) return "";
    return it->second.substr(0, it->second.find('\0'));
}

// How many hits lie between two dumps of a counter: 0 when nothing
// changed, 1 when exactly one hit was recorded ("totcnt" and one hour
// record up by one, "startdate" only with a first hit, nothing else), and
// -1 for any other change.
int hits_between(const std::map<std::string, std::string>& before,
                 const std::map<std::string, std::string>& after) {
    if (before == after) return 0;
    std::vector<std::string> changed;
    for (const auto& [k, v] : after) {
        auto it = before.find(k);
        if (it == before.end() || it->second != v) changed.push_back(k.substr(0, k.find('\0')));
    }
    for (const auto& [k, v] : before) {
        if (!after.count(k)) return -1;
    }
    const long total_before = std::strtol(text_of(before, "totcnt").c_str(), nullptr, 10);
    const long total_after = std::strtol(text_of(after, "totcnt").c_str(), nullptr, 10);
    if (total_after != total_before + 1) return -1;
    int hours = 0;
    for (const std::string& k : changed) {
        if (k == "totcnt") continue;
        if (k == "startdate" && total_after == 1) continue;
        if (k.size() != 13 || k[4] != '/') return -1;
        if (std::strtol(text_of(after, k).c_str(), nullptr, 10) !=
            std::strtol(text_of(before, k).c_str(), nullptr, 10) + 1) {
            return -1;
        }
        ++hours;
    }
    return hours == 1 ? 1 : -1;
}

int picture_width(const TempSite& site, const std::string& rel) {
    FilePtr f = util_fopen(site.path(rel).string(), "rb");
    GdImage im = f ? gif_read(f.get()) : GdImage();
    return im ? gdImageSX(im.get()) : -1;
}

// Width of a counter picture of set d that shows `count` in `cells` cells.
int counter_width(const TempSite& site, const std::string& count, int cells) {
    std::string shown_text = count.size() >= static_cast<std::size_t>(cells)
                                 ? count.substr(count.size() - static_cast<std::size_t>(cells))
                                 : std::string(static_cast<std::size_t>(cells) - count.size(), '0') + count;
    int width = 0;
    for (char c : shown_text) width += picture_width(site, digit_path("d", c).substr(2));
    return width;
}

void expect_answer(const TempSite& site, const RunResult& r, const HostileCase& c) {
    ASSERT_FALSE(r.timed_out);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << describe(r);
    switch (c.expect) {
        case Expect::kError:
            EXPECT_EQ(r.status, 1) << describe(r);
            EXPECT_TRUE(is_error_image(r.out, shown(c.message)))
                << "expected the error image of: " << shown(c.message).substr(0, 200) << "\ngot " << describe(r);
            break;
        case Expect::kAnyError:
            EXPECT_EQ(r.status, 1) << describe(r);
            EXPECT_TRUE(looks_like_error_image(r.out)) << describe(r);
            break;
        case Expect::kPicture: {
            EXPECT_EQ(r.status, 0) << describe(r);
            EXPECT_FALSE(looks_like_error_image(r.out)) << describe(r);
            Answer a = decode_answer(r.out);
            ASSERT_TRUE(a.ok);
            if (c.cells > 0) {
                EXPECT_EQ(gdImageSX(a.image.get()), counter_width(site, "42", c.cells)) << c.cells << " cells";
            }
            break;
        }
    }
}

// Cases are named by their test name; their values are too long to print.
void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileRequest : public ::testing::TestWithParam<HostileCase> {
protected:
    void SetUp() override {
        site.create_counter("c");
        store_records(db, kCounterRecords);
    }
    TempSite site;
    fs::path db = site.path("save/c.db");
};

TEST_P(HostileRequest, AnsweredWithoutHarm) {
    const HostileCase& c = GetParam();
    if (c.prepare) c.prepare(site);
    const auto files = site_files(site, db);
    const auto records = dump_db(db);

    RunResult r = run_cgi_within(site, c.req, kLimit);
    expect_answer(site, r, c);

    EXPECT_EQ(hits_between(records, dump_db(db)), c.hits) << "hits recorded on counter c";
    std::vector<std::string> changed = changed_files(files, site_files(site, db));
    EXPECT_TRUE(changed.empty()) << "changed: " << ::testing::PrintToString(changed);
}

std::string case_name(const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; }

// Values of 5,000 characters in every parameter. Each is either refused
// (its message cut to the longest message drawn) or has no effect.
INSTANTIATE_TEST_SUITE_P(
    LongValues, HostileRequest,
    ::testing::Values(
        refused("vdb", get("vdb=" + kLong), "DB file path too long (5010 characters, at most 254)"),
        refused("digit", get("vdb=c&digit=" + kLong), "Image file open error. ('" + digit_path(kLong, '0') + "')",
                1),
        refused("mode", get("vdb=c&mode=" + kLong), "Unknown mode ('" + kLong + "')"),
        refused("style", get("mode=date&style=" + kLong), "Unknown style ('" + kLong + "')"),
        picture("style_unused_by_counter", get("vdb=c&style=" + kLong), 1),
        picture("ago_letters", get("vdb=c&ago=" + kLong), 0),
        refused("ago_digits", get("vdb=c&ago=" + kLongDigits), "ago out of range ('" + kLongDigits + "')"),
        refused("when", get("vdb=c&mode=stat&when=" + kLong), "Unknown when ('" + kLong + "')"),
        picture("date_month_chart", get("vdb=c&mode=stat&date=" + kLong), 0),
        picture("date_day_chart", get("vdb=c&mode=stat&when=day&date=" + kLong), 0),
        bad_cntlen("cntlen_letters", kLong, kLong),
        bad_cntlen("cntlen_digits", kLongDigits, kLongDigits),
        picture("parameter_name", get("vdb=c&" + kLong + "=1"), 1),
        [] {
            std::string query = "vdb=c";
            for (int i = 0; i < 20000; ++i) query += "&a=b";
            return picture("twenty_thousand_pairs", get(query), 1);
        }()),
    case_name);

// Counter and digit-set names that would leave their directories: refused
// before any file is opened and before a hit is recorded. A decoded zero
// byte ends the value, so what follows it never reaches a path.
INSTANTIATE_TEST_SUITE_P(
    PathNames, HostileRequest,
    ::testing::Values(
        bad_counter("vdb_slash", "/", "/"),
        bad_counter("vdb_dots", "..", ".."),
        bad_counter("vdb_four_dots", "....", "...."),
        bad_counter("vdb_escaped_updir", "%2e%2e%2f", "../"),
        bad_counter("vdb_escaped_outside_counter", "%2E%2E%2Fdecoy", "../decoy"),
        bad_counter("vdb_updir_to_same_counter", "../save/c", "../save/c"),
        bad_counter("vdb_absolute", "/etc/passwd", "/etc/passwd"),
        bad_counter("vdb_escaped_absolute", "%2Ftmp%2Fc", "/tmp/c"),
        bad_counter("vdb_trailing_slash", "c/", "c/"),
        refused("vdb_double_escaped", get("vdb=%252e%252e%252f"), "DB file (./save/%2e%2e%2f.db) not found"),
        refused("vdb_only_zero_byte", get("vdb=%00"), "DB file (./save/.db) not found"),
        picture("vdb_zero_byte_hides_updir", get("vdb=c%00%2F..%2F..%2Fetc%2Fpasswd"), 1),
        bad_digit("digit_slash", "vdb=c&digit=/", "/"),
        bad_digit("digit_dots", "vdb=c&digit=..", ".."),
        bad_digit("digit_escaped_updir", "vdb=c&digit=%2e%2e%2f", "../"),
        bad_digit("digit_escaped_sibling_set", "vdb=c&digit=%2e%2e%2fdigits%2fd", "../digits/d"),
        bad_digit("digit_absolute", "vdb=c&digit=/etc", "/etc"),
        bad_digit("digit_in_date_mode", "mode=date&digit=%2e%2e", ".."),
        bad_digit("digit_in_time_mode", "mode=time&digit=%2Fimage", "/image"),
        picture("digit_zero_byte_hides_updir", get("vdb=c&digit=d%00%2F..%2F.."), 1),
        refused("digit_only_zero_byte", get("vdb=c&digit=%00"), "Image file open error. ('./image/digits//0.gif')",
                1)),
    case_name);

// printf conversions in every parameter are shown as they are and never
// read as conversions (not in messages, paths or database keys).
INSTANTIATE_TEST_SUITE_P(
    FormatConversions, HostileRequest,
    ::testing::Values(
        refused("vdb", get("vdb=" + kFormatsSent), "DB file (./save/" + kFormats + ".db) not found"),
        refused("digit", get("vdb=c&digit=" + kFormatsSent), "Image file open error. ('" + digit_path(kFormats, '0') + "')",
                1),
        refused("mode", get("vdb=c&mode=" + kFormatsSent), "Unknown mode ('" + kFormats + "')"),
        refused("date_style", get("mode=date&style=" + kFormatsSent), "Unknown style ('" + kFormats + "')"),
        refused("time_style", get("mode=time&style=" + kFormatsSent), "Unknown style ('" + kFormats + "')"),
        picture("ago", get("vdb=c&ago=" + kFormatsSent), 0),
        refused("when", get("vdb=c&mode=stat&when=" + kFormatsSent), "Unknown when ('" + kFormats + "')"),
        picture("date_month_chart", get("vdb=c&mode=stat&date=" + kFormatsSent + kFormatsSent), 0),
        picture("date_day_chart", get("vdb=c&mode=stat&when=day&date=" + kFormatsSent + kFormatsSent), 0),
        picture("date_year_chart", get("vdb=c&mode=stat&when=year&date=" + kFormatsSent), 0),
        bad_cntlen("cntlen", kFormatsSent, kFormats),
        // Unescaped, "%s%" decodes by the escape arithmetic into a byte; the
        // answers are refusals all the same.
        any_error("unescaped_vdb", get("vdb=%s%n%x")),
        any_error("unescaped_mode", get("vdb=c&mode=%s%n%x%s%n%x%s%n")),
        refused("post_body", post("vdb=c&mode=" + kFormatsSent, std::nullopt), "Unknown mode ('" + kFormats + "')")),
    case_name);

// cntlen must read as 1 to 64 cells; anything else is refused before the
// hit is recorded.
INSTANTIATE_TEST_SUITE_P(
    Cntlen, HostileRequest,
    ::testing::Values(bad_cntlen("zero", "0", "0"),
                      bad_cntlen("negative", "-5", "-5"),
                      bad_cntlen("beyond_32_bits", "99999999999", "99999999999"),
                      bad_cntlen("beyond_64_bits", "-99999999999999999999999", "-99999999999999999999999"),
                      bad_cntlen("letters", "abc", "abc"),
                      bad_cntlen("empty", "", ""),
                      bad_cntlen("one_past_the_limit", "65", "65"),
                      [] {
                          HostileCase c = picture("the_limit", get("vdb=c&cntlen=64"), 1);
                          c.cells = 64;
                          return c;
                      }(),
                      [] {
                          HostileCase c = picture("blanks_around_digits", get("vdb=c&cntlen=+%093+"), 1);
                          c.cells = 3;
                          return c;
                      }(),
                      picture("ignored_by_date", get("mode=date&cntlen=-5"), 0)),
    case_name);

// The POST body: its announced length is checked before anything is read
// or allocated, and a body that ends early is refused, not waited for.
INSTANTIATE_TEST_SUITE_P(
    RequestBody, HostileRequest,
    ::testing::Values(
        refused("length_huge_body_short", post("vdb=c", "999999999999"),
                "Request body too large (999999999999 bytes, at most 65536)"),
        refused("length_beyond_64_bits", post("vdb=c", "99999999999999999999999"),
                "Request body too large (9223372036854775807 bytes, at most 65536)"),
        refused("length_one_past_the_limit", post(std::string(65537, 'a'), "65537"),
                "Request body too large (65537 bytes, at most 65536)"),
        [] {
            std::string body = "vdb=c&pad=";
            body += std::string(65536 - body.size(), 'p');
            return picture("length_at_the_limit", post(body, "65536"), 1);
        }(),
        refused("body_shorter_than_length", post("vdb=c", "100"), "Request body incomplete (5 of 100 bytes)"),
        refused("length_negative", post("vdb=c", "-5"), kVersionError),
        refused("length_letters", post("vdb=c", "abc"), kVersionError),
        [] {
            Request r = post("vdb=c", std::nullopt);
            r.omit_content_length = true;
            return refused("length_missing", r, kVersionError);
        }(),
        picture("zero_byte_ends_body", post(std::string("vdb=c\0&mode=foo", 15), "15"), 1),
        [] {
            Request r = post("mode=foo", "999999999999");
            r.query = "vdb=c";
            return refused("query_then_huge_body", r, "Request body too large (999999999999 bytes, at most 65536)");
        }()),
    case_name);

// Digit pictures and chart backgrounds that are empty, cut short or no
// GIF at all. A counter hit is recorded before its pictures are read.
std::function<void(const TempSite&)> broken_digit(std::function<std::string(const std::string&)> damage) {
    return [damage](const TempSite& site) {
        fs::copy(site.path("image/digits/d"), site.path("image/digits/bad"), fs::copy_options::recursive);
        site.write("image/digits/bad/0.gif", damage(site.read("image/digits/d/0.gif")));
    };
}

std::function<void(const TempSite&)> broken_background(std::function<std::string(const std::string&)> damage) {
    return [damage](const TempSite& site) {
        site.write("image/resource/imgmonth.rc", damage(site.read("image/resource/imgmonth.rc")));
    };
}

std::string emptied(const std::string&) { return ""; }
// Cut 40 bytes in: inside the colour table of these pictures, before any
// image data.
std::string cut_in_palette(const std::string& gif) { return gif.substr(0, 40); }
// Cut in the middle of the image data: gd alone would return the part it
// decoded, so the missing trailer is what refuses it.
std::string halved(const std::string& gif) { return gif.substr(0, gif.size() / 2); }
std::string header_only(const std::string& gif) { return gif.substr(0, 13); }
std::string not_gif(const std::string&) { return "\x89PNG\r\n\x1a\n this is no picture\n"; }

HostileCase with_prepare(HostileCase c, std::function<void(const TempSite&)> prepare) {
    c.prepare = std::move(prepare);
    return c;
}

const std::string kBadDigit = "Image file decode error. ('" + digit_path("bad", '0') + "')";
const std::string kBadBackground = "Error, './image/resource/imgmonth.rc' is not a GIF picture";

INSTANTIATE_TEST_SUITE_P(
    BrokenPictures, HostileRequest,
    ::testing::Values(
        with_prepare(refused("digit_empty", get("vdb=c&digit=bad"), kBadDigit, 1), broken_digit(emptied)),
        with_prepare(refused("digit_cut_in_palette", get("vdb=c&digit=bad"), kBadDigit, 1),
                     broken_digit(cut_in_palette)),
        with_prepare(refused("digit_cut_in_image_data", get("vdb=c&digit=bad"), kBadDigit, 1),
                     broken_digit(halved)),
        with_prepare(refused("digit_header_only", get("vdb=c&digit=bad"), kBadDigit, 1), broken_digit(header_only)),
        with_prepare(refused("digit_not_gif", get("vdb=c&digit=bad"), kBadDigit, 1), broken_digit(not_gif)),
        // Date style e is the year: its first cell reads 2.gif this millennium.
        with_prepare(refused("digit_not_gif_in_date_mode", get("mode=date&style=e&digit=bad"),
                             "Image file decode error. ('" + digit_path("bad", '2') + "')", 0),
                     [](const TempSite& site) {
                         broken_digit(not_gif)(site);
                         for (char c = '0'; c <= '9'; ++c) {
                             site.write("image/digits/bad/" + std::string(1, c) + ".gif", not_gif(""));
                         }
                     }),
        with_prepare(refused("background_empty", get("vdb=c&mode=stat"), kBadBackground), broken_background(emptied)),
        with_prepare(refused("background_cut_in_palette", get("vdb=c&mode=stat"), kBadBackground),
                     broken_background(cut_in_palette)),
        with_prepare(refused("background_cut_in_image_data", get("vdb=c&mode=stat"), kBadBackground),
                     broken_background(halved)),
        with_prepare(refused("background_header_only", get("vdb=c&mode=stat"), kBadBackground),
                     broken_background(header_only)),
        with_prepare(refused("background_not_gif", get("vdb=c&mode=stat"), kBadBackground),
                     broken_background(not_gif))),
    case_name);

// Configuration files of many, long or binary lines are read to their end
// in bounded pieces; the keys they hold still count. Each case ends its
// file with DEFAULT_CNTLEN, seen in the number of cells of the answer.
std::function<void(const TempSite&)> configuration(std::function<std::string()> make) {
    return [make](const TempSite& site) { site.write("conf/vc.conf", make()); };
}

HostileCase counter_cells(std::string name, int cells, std::function<std::string()> make) {
    HostileCase c = with_prepare(picture(std::move(name), get("vdb=c"), 1), configuration(std::move(make)));
    c.cells = cells;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    ConfigurationFile, HostileRequest,
    ::testing::Values(
        counter_cells("ten_thousand_lines", 3,
                      [] {
                          std::string text;
                          for (int i = 0; i < 10000; ++i) text += "UNUSED_KEY_" + std::to_string(i) + " = value\n";
                          return text + "DEFAULT_CNTLEN = 3\n";
                      }),
        // A line is read in pieces of 1000 characters, each piece a line of
        // its own: the rest of a comment line past its first 1000
        // characters is a setting.
        counter_cells("rest_of_long_comment_line", 2,
                      [] { return "#" + std::string(999, 'c') + "DEFAULT_CNTLEN = 2\n"; }),
        counter_cells("line_of_100000_characters", 4,
                      [] { return "X = " + std::string(100000, 'v') + "\nDEFAULT_CNTLEN = 4\n"; }),
        counter_cells("binary_bytes", 5,
                      [] {
                          std::mt19937 gen(20010311);
                          std::string text;
                          for (int i = 0; i < 8192; ++i) text += static_cast<char>(gen() & 0xFF);
                          return text + "\nDEFAULT_CNTLEN = 5\n";
                      }),
        counter_cells("no_final_line_feed", 7, [] { return std::string("DEFAULT_CNTLEN = 7"); }),
        with_prepare(refused("save_path_too_long", get("vdb=c"), "DB file path too long (305 characters, at most 254)"),
                     configuration([] { return "DIR_SAVE = " + std::string(300, 's') + "\n"; })),
        with_prepare(refused("digit_dir_with_conversions", get("vdb=c"),
                             "Image file open error. ('" + kFormats + "/d/0.gif')", 1),
                     configuration([] { return "DIR_DIGIT = " + kFormats + "\n"; })),
        with_prepare(refused("cntlen_default_out_of_range", get("vdb=c"), "Invalid cntlen ('100'): use 1 to 64"),
                     configuration([] { return std::string("DEFAULT_CNTLEN = 100\n"); })),
        with_prepare(picture("configuration_is_a_directory", get("vdb=c"), 1),
                     [](const TempSite& site) {
                         fs::remove(site.path("conf/vc.conf"));
                         fs::create_directory(site.path("conf/vc.conf"));
                     })),
    case_name);

// save/broken.db: a copy of counter c whose header stays intact while
// everything behind it is scrambled, so gdbm opens it and fails inside.
void damaged_copy(const TempSite& site) {
    std::string bytes = site.read("save/c.db");
    for (std::size_t i = 1024; i < bytes.size(); ++i) bytes[i] ^= 0x5A;
    site.write("save/broken.db", bytes);
}

// Counter files the program cannot use: the save "directory" is a file,
// the counter file is a FIFO, or it is damaged. The files stay as they were.
INSTANTIATE_TEST_SUITE_P(
    CounterFiles, HostileRequest,
    ::testing::Values(
        with_prepare(refused("save_dir_is_a_file", get("vdb=c"), "DB file (./savefile/c.db) not found"),
                     [](const TempSite& site) {
                         site.write("savefile", "a file, not a directory\n");
                         site.write("conf/vc.conf", "DIR_SAVE = ./savefile\n");
                     }),
        // A FIFO is never waited on: nobody writes to it.
        with_prepare(refused("counter_file_is_a_fifo", get("vdb=fifo"), "DB open error. Invalid argument (./save/fifo.db)"),
                     [](const TempSite& site) { ASSERT_EQ(mkfifo(site.path("save/fifo.db").c_str(), 0644), 0); }),
        with_prepare(any_error("damaged_buckets", get("vdb=broken")), damaged_copy),
        with_prepare(any_error("damaged_buckets_chart", get("vdb=broken&mode=stat&when=day&date=2001/03/11")),
                     damaged_copy)),
    case_name);

// A counter whose records another program wrote without the terminating
// zero bytes still counts on.
TEST(HostileCounterRecords, ValuesWithoutZeroByteCountOn) {
    TempSite site;
    GDBM_FILE dbf = gdbm_open(site.path("save/raw.db").c_str(), 1024, GDBM_WRCREAT, 0644, nullptr);
    ASSERT_NE(dbf, nullptr);
    datum key{const_cast<char*>("totcnt"), 7};
    datum value{const_cast<char*>("41"), 2};
    ASSERT_EQ(gdbm_store(dbf, key, value, GDBM_REPLACE), 0);
    gdbm_close(dbf);

    RunResult r = run_cgi_within(site, get("vdb=raw&cntlen=2"), kLimit);
    EXPECT_EQ(r.status, 0) << describe(r);
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(gdImageSX(a.image.get()), counter_width(site, "42", 2));
    EXPECT_EQ(text_of(dump_db(site.path("save/raw.db")), "totcnt"), "42");
}

// A total of 300 digits still rises by one; the picture shows its last
// cells.
TEST(HostileCounterRecords, TotalOfThreeHundredDigits) {
    TempSite site;
    site.create_counter("big");
    store_records(site.path("save/big.db"), {{"totcnt", std::string(300, '9')}});
    RunResult r = run_cgi_within(site, get("vdb=big"), kLimit);
    EXPECT_EQ(r.status, 0) << describe(r);
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(gdImageSX(a.image.get()), counter_width(site, "000000", 6));
    EXPECT_EQ(text_of(dump_db(site.path("save/big.db")), "totcnt"), "1" + std::string(300, '0'));
}

// The unwritable counter, as root meets it: the file is immutable
// (chattr +i), so even root cannot open it for writing. A hit is answered
// at once with the cause, the file unchanged; reading it for a chart still
// works.
TEST(HostileCounterFile, ImmutableCounterRefusesHitsButServesCharts) {
    TempSite site;
    site.create_counter("ro");
    store_records(site.path("save/ro.db"), kCounterRecords);
    const std::string file = site.path("save/ro.db").string();
    if (std::system(("chattr +i '" + file + "' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "chattr +i is not available on " << site.root();
    }
    struct Unlock {
        std::string file;
        ~Unlock() {
            int rc = std::system(("chattr -i '" + file + "'").c_str());
            (void)rc;
        }
    } unlock{file};
    const std::string bytes = site.read("save/ro.db");

    RunResult chart = run_cgi_within(site, get("vdb=ro&mode=stat&when=day&date=2001/03/11"), kLimit);
    EXPECT_EQ(chart.status, 0) << describe(chart);
    EXPECT_TRUE(decode_answer(chart.out).ok);

    // Waiting cannot make the file writable: answered at once, naming why.
    RunResult hit = run_cgi_within(site, get("vdb=ro"), kLimit);
    EXPECT_EQ(hit.status, 1) << describe(hit);
    EXPECT_TRUE(is_error_image(hit.out, "DB open error. Operation not permitted (./save/ro.db)")) << describe(hit);
    EXPECT_EQ(site.read("save/ro.db"), bytes);
}

// A chart background whose palette already holds 256 colours: the chart's
// six colours cannot be allocated, and the nearest colours of the palette
// are used instead. The answer is still the whole chart.
TEST(HostileBackground, FullPaletteStillGivesTheChart) {
    TempSite site;
    site.create_counter("c");
    {
        FilePtr in = util_fopen(site.path("image/resource/imgmonth.rc").string(), "rb");
        ASSERT_TRUE(in);
        GdImage bg = gif_read(in.get());
        ASSERT_TRUE(bg);
        gdImagePtr im = bg.get();
        const std::vector<unsigned> chart_colours = {0xF0F0F0, 0x303030, 0x000000, 0x808080, 0xD0D0D0};
        for (unsigned i = 0; gdImageColorsTotal(im) < gdMaxColors; ++i) {
            const int r = static_cast<int>((i * 37 + 11) % 256), g = static_cast<int>((i * 91 + 3) % 256),
                      b = static_cast<int>((i * 53 + 29) % 256);
            const unsigned rgb = (static_cast<unsigned>(r) << 16) | (static_cast<unsigned>(g) << 8) |
                                 static_cast<unsigned>(b);
            if (std::find(chart_colours.begin(), chart_colours.end(), rgb) != chart_colours.end()) continue;
            if (gdImageColorExact(im, r, g, b) >= 0) continue;
            const int index = gdImageColorAllocate(im, r, g, b);
            ASSERT_GE(index, 0);
            gdImageSetPixel(im, index % gdImageSX(im), gdImageSY(im) - 1, index);
        }
        ASSERT_EQ(gdImageColorsTotal(im), gdMaxColors);
        int size = 0;
        void* gif = gdImageGifPtr(im, &size);
        ASSERT_NE(gif, nullptr);
        site.write("image/resource/imgmonth.rc", std::string(static_cast<char*>(gif), static_cast<std::size_t>(size)));
        gdFree(gif);
    }

    RunResult r = run_cgi_within(site, get("vdb=c&mode=stat&when=month&date=2001/03/11"), kLimit);
    ASSERT_EQ(r.status, 0) << describe(r);
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    gdImagePtr im = a.image.get();
    EXPECT_EQ(gdImageColorsTotal(im), gdMaxColors);
    // An empty counter's first bar is a zero bar: its body row is painted
    // by the top edge in the reflection colour (208, 208, 208), and the base
    // line below it in the shadow colour (48, 48, 48), each the nearest the
    // full palette holds.
    const int by = gdImageSY(im) - 25;
    auto nearest = [im](int r, int g, int b) {
        const int i = gdImageColorClosest(im, r, g, b);
        return (static_cast<unsigned>(gdImageRed(im, i)) << 16) | (static_cast<unsigned>(gdImageGreen(im, i)) << 8) |
               static_cast<unsigned>(gdImageBlue(im, i));
    };
    EXPECT_EQ(rgb_at(im, 10, by), nearest(208, 208, 208));
    EXPECT_EQ(rgb_at(im, 10, by + 1), nearest(48, 48, 48));
}

}  // namespace
}  // namespace vorn::test
