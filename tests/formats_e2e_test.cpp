// SPDX-License-Identifier: GPL-3.0-or-later
// The SVG and JSON answers (format=svg, format=json) of the built program,
// read back with real parsers (expat, nlohmann::json), against the GIF
// answer of the same request and the counter's records; and TIMEZONE.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "base/util.h"
#include "fastcgi_client.h"
#include "harness.h"

namespace vorn::test {
namespace {

using nlohmann::json;

constexpr char kNoCache[] = "Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\n";
const std::string kSvgHeader = std::string(kNoCache) + "Content-type: image/svg+xml\n\n";
const std::string kJsonHeader =
    std::string(kNoCache) + "Access-Control-Allow-Origin: *\nContent-type: application/json\n\n";

// An answer cut into its header lines (with the blank line) and its body.
struct Split {
    std::string header, body;
};
Split split(const std::string& out) {
    const std::size_t end = out.find("\n\n");
    if (end == std::string::npos) return {out, ""};
    return {out.substr(0, end + 2), out.substr(end + 2)};
}

// An SVG document as expat reads it: the root element's attributes, the
// text of its <title> and the attributes of its <image>.
struct Svg {
    bool ok = false;
    std::string root;
    std::map<std::string, std::string> attrs, image;
    std::string title;
    int elements = 0;
};

Svg parse_svg(const std::string& text) {
    const Doc doc = parse_doc(text);
    Svg svg;
    svg.ok = doc.ok;
    svg.elements = static_cast<int>(doc.elements.size());
    if (!doc.elements.empty()) {
        svg.root = doc.elements[0].name;
        svg.attrs = doc.elements[0].attrs;
    }
    for (const Element& e : doc.elements) {
        if (e.name == "image") svg.image = e.attrs;
        if (e.name == "title") svg.title = e.text;
    }
    return svg;
}

std::string unbase64(const std::string& text) {
    static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const std::size_t v = kDigits.find(c);
        if (v == std::string::npos) return "(not base64)";
        bits = (bits << 6) | static_cast<unsigned>(v);
        if ((count += 6) >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// The GIF an SVG answer holds, checked to be the whole of its one picture.
std::string embedded_gif(const Svg& svg) {
    const std::string prefix = "data:image/gif;base64,";
    const std::string href = svg.image.count("href") ? svg.image.at("href") : "";
    if (href.rfind(prefix, 0) != 0) return "";
    return unbase64(href.substr(prefix.size()));
}

std::string with_format(const std::string& query, const std::string& format) {
    return query + (query.empty() ? "" : "&") + "format=" + format;
}

// A site with the counter "web": visits on 2001/03/07 and 2001/03/20 and a
// total of 22 (as the FastCGI tests have it).
class Formats : public testing::Test {
protected:
    void SetUp() override {
        site.create_counter("web");
        store_records(db, {{"2001/03/07/09", "4"}, {"2001/03/07/15", "11"}, {"2001/03/20/00", "7"}, {"totcnt", "0022"}});
    }
    // The answer of `query` in `format`, with its header checked.
    std::string body(const std::string& query, const std::string& format, int status = 0) {
        const RunResult r = run_cgi(site, get(with_format(query, format)));
        EXPECT_EQ(r.status, status) << query;
        const Split s = split(r.out);
        EXPECT_EQ(s.header, format == "svg" ? kSvgHeader : kJsonHeader) << query;
        return s.body;
    }
    json json_of(const std::string& query, int status = 0) {
        const std::string text = body(query, "json", status);
        json doc = json::parse(text, nullptr, false);
        EXPECT_FALSE(doc.is_discarded()) << query << ": " << text;
        return doc;
    }
    // The SVG answer of `query`; its picture must be the GIF answer of the
    // same request (one that counts nothing), shown `scale` times its size.
    // Where the digit set has a twin, the picture held is instead the GIF
    // answer of `twin` (the request with the twin's set), twice the size,
    // in the same place.
    Svg svg_of(const std::string& query, const std::string& scale = "", int status = 0, const std::string& twin = "") {
        const std::string gif = split(run_cgi(site, get(twin.empty() ? query : twin)).out).body;
        const Svg svg = parse_svg(body(query + (scale.empty() ? "" : "&scale=" + scale), "svg", status));
        EXPECT_TRUE(svg.ok) << query;
        EXPECT_EQ(svg.root, "svg");
        EXPECT_EQ(svg.attrs.at("xmlns"), "http://www.w3.org/2000/svg");
        EXPECT_EQ(svg.attrs.at("role"), "img");
        EXPECT_EQ(svg.attrs.at("aria-label"), svg.title) << query;
        EXPECT_EQ(svg.elements, 3) << "svg, title, image";
        EXPECT_EQ(embedded_gif(svg), gif) << query;
        Answer a = decode_answer(run_cgi(site, get(query)).out);
        if (a.ok) {
            const int k = scale.empty() ? 1 : std::stoi(scale);
            const int w = gdImageSX(a.image.get()), h = gdImageSY(a.image.get());
            EXPECT_EQ(svg.attrs.at("width"), std::to_string(w * k)) << query;
            EXPECT_EQ(svg.attrs.at("height"), std::to_string(h * k)) << query;
            EXPECT_EQ(svg.attrs.at("viewBox"), "0 0 " + std::to_string(w) + " " + std::to_string(h));
            EXPECT_EQ(svg.image.at("width"), std::to_string(w));
            EXPECT_EQ(svg.image.at("height"), std::to_string(h));
            if (!twin.empty()) {
                Answer doubled = decode_answer(run_cgi(site, get(twin)).out);
                EXPECT_EQ(gdImageSX(doubled.image.get()), 2 * w) << twin;
                EXPECT_EQ(gdImageSY(doubled.image.get()), 2 * h) << twin;
            }
            // Enlarged, pixels stay square; the twin at scale 1 is left to
            // the browser's own scaling.
            if (twin.empty() || k > 1) {
                EXPECT_EQ(svg.image.at("style"), "image-rendering:pixelated") << query;
            } else {
                EXPECT_EQ(svg.image.count("style"), 0u) << query;
            }
        }
        return svg;
    }

    TempSite site;
    fs::path db = site.path("save/web.db");
};

// Each kind of answer names what it shows; the picture inside is the GIF
// answer byte for byte, at each scale.
TEST_F(Formats, SvgHoldsTheGifAndNamesWhatItShows) {
    EXPECT_EQ(svg_of("vdb=web&ago=-100000", "", 0, "vdb=web&ago=-100000&digit=d-2x").title, "0");
    EXPECT_EQ(svg_of("vdb=web&ago=0&cntlen=3&digit=led", "", 0, "vdb=web&ago=0&cntlen=3&digit=led-2x").title, "0");
    EXPECT_EQ(svg_of("mode=date&style=e", "3", 0, "mode=date&style=e&digit=d-2x").title.size(), 4u);  // the year
    EXPECT_EQ(svg_of("vdb=web&mode=stat&when=month&date=2001/03", "2").title,
              "March, 2001 statistics: 22 visits; total 22");
    EXPECT_EQ(svg_of("vdb=web&mode=stat&when=day&date=2001/03/07", "8").title,
              "March 07, 2001 statistics: 15 visits; total 22");
    EXPECT_EQ(svg_of("vdb=nosuch", "", 1).title, "DB file (./save/nosuch.db) not found");
    EXPECT_EQ(svg_of("vdb=web&mode=week", "", 1).title, "Unknown mode ('week')");
    // A label with markup in it stays text.
    EXPECT_EQ(svg_of("vdb=web&mode=%3Cb%3E%22%26%27", "", 1).title, "Unknown mode ('<b>\"&'')");
}

// Texts that are no XML character data, and where a request puts them into
// the label of an SVG answer ("@" stands for the text): whatever the text,
// the answer is a well-formed document that names it with U+FFFD in place
// of what XML does not allow.
struct HostileLabel {
    const char* name;
    const char* text;  // URL-encoded
};
const HostileLabel kHostileTexts[] = {
    {"U_FFFE", "%EF%BF%BE"},
    {"U_FFFF", "%EF%BF%BF"},
    {"EucKrName", "%EF%BF%BE%C6"},
    {"AmongMarkup", "%3Cb%3E%EF%BF%BF%26amp;"},
    {"Control", "%01%08%0B%0C%1B%1F"},
    {"Delete", "%7F"},
    {"Surrogate", "%ED%A0%80%ED%BF%BF"},
    {"Overlong", "%C0%AF%E0%80%AF%F0%80%80%AF"},
    {"NoUtf8", "%80%BF%FE%FF%C6"},
    {"CutShort", "x%E2%82"},
    {"PastU10FFFF", "%F4%90%80%80%F8%88%80%80%80"},
};
const char* const kLabelQueries[] = {
    "vdb=@",                                          // the counter's name, in its error
    "vdb=web&mode=stat&when=year&date=@",             // a chart's title
    "vdb=web&mode=stat&when=month&date=@@",
    "vdb=web&mode=stat&when=day&date=2001/03/@",      // cut after two bytes
    "vdb=web&mode=@",                                 // error messages
    "vdb=web&mode=stat&when=@",
    "vdb=web&digit=@",
    "vdb=web&cntlen=@",
    "vdb=web&ago=99999999@",
    "mode=date&style=@",                              // a date or time
    "mode=time&style=@",
    "mode=date&scale=@",
};

void PrintTo(const HostileLabel& row, std::ostream* os) { *os << row.name; }

class HostileSvgLabel : public testing::TestWithParam<HostileLabel> {};

TEST_P(HostileSvgLabel, EveryLabelGivesWellFormedXml) {
    TempSite site;
    site.create_counter("web");
    for (const char* pattern : kLabelQueries) {
        std::string query = pattern;
        for (std::size_t at; (at = query.find('@')) != std::string::npos;) query.replace(at, 1, GetParam().text);
        for (const char* format : {"svg", "badge"}) {
            const Split s = split(run_cgi(site, get(query + "&format=" + format)).out);
            EXPECT_EQ(s.header, kSvgHeader) << query;
            Svg svg = parse_svg(s.body);
            EXPECT_TRUE(svg.ok) << query << "\n" << s.body.substr(0, s.body.find("<image"));
            EXPECT_EQ(svg.root, "svg") << query;
            EXPECT_FALSE(svg.title.empty()) << query;
            EXPECT_EQ(svg.attrs["aria-label"], svg.title) << query;
        }
    }
    // What a badge draws from its parameters reaches neither markup nor
    // style unescaped, in any style and in dark mode.
    for (const char* pattern : {"label=@", "label=@@&badge=for-the-badge&darkmode=auto", "color=@&darkmode=auto",
                                "labelColor=@", "badge=@", "abbr=@&badge=plastic", "darkmode=@"}) {
        std::string query = std::string("vdb=web&") + pattern;
        for (std::size_t at; (at = query.find('@')) != std::string::npos;) query.replace(at, 1, GetParam().text);
        Svg svg = parse_svg(split(run_cgi(site, get(query + "&format=badge")).out).body);
        EXPECT_TRUE(svg.ok) << query;
        EXPECT_EQ(svg.attrs["aria-label"], svg.title) << query;
        EXPECT_FALSE(json::parse(split(run_cgi(site, get(query + "&format=shields")).out).body, nullptr, false)
                         .is_discarded())
            << query;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, HostileSvgLabel, testing::ValuesIn(kHostileTexts),
                         [](const auto& info) { return std::string(info.param.name); });

// A bad scale is answered with the error, in an SVG document of scale 1;
// a picture answer takes no notice of scale.
TEST_F(Formats, ScaleIsAWholeNumberFromOneToEight) {
    for (const char* bad : {"0", "9", "2.5", "x", "", "-1", "99999999999999999999", "2x"}) {
        const Svg svg = parse_svg(body(std::string("mode=date&scale=") + bad, "svg", 1));
        EXPECT_EQ(svg.title, std::string("Invalid scale ('") + bad + "'): use 1 to 8") << bad;
        EXPECT_EQ(run_cgi(site, get(std::string("mode=date&style=e&scale=") + bad)).out,
                  run_cgi(site, get("mode=date&style=e")).out);
    }
    for (const char* good : {"1", "8", "04"}) {
        EXPECT_EQ(parse_svg(body(std::string("mode=time&style=d&scale=") + good, "svg")).attrs.at("height"),
                  std::to_string(26 * std::stoi(good)))
            << good;
    }
}

TEST_F(Formats, JsonGivesTheFigures) {
    // A counter: the visit counted, the number without padding.
    // The stored total keeps its width ("0022" + 1 is "0023"); the answer is
    // the number.
    EXPECT_EQ(json_of("vdb=web"), json::parse(R"({"name":"web","count":23,"counted":true})"));
    EXPECT_EQ(db_texts(db).at("totcnt"), "0023");
    EXPECT_EQ(json_of("vdb=web&ago=-100000"), json::parse(R"({"name":"web","count":0,"counted":false,"reason":"past"})"));
    // A date and a time as the picture shows them.
    const std::string date = json_of("mode=date&style=a")["text"];
    EXPECT_TRUE(std::regex_match(date, std::regex(R"(\d\d/\d\d/\d{4})"))) << date;
    const std::string clock = json_of("mode=time&style=a")["text"];
    EXPECT_TRUE(std::regex_match(clock, std::regex(R"(\d\d:\d\d [AP]M)"))) << clock;
    EXPECT_TRUE(std::regex_match(std::string(json_of("mode=date&style=c")["text"]),
                                 std::regex(R"(\d\d/\d\d-\d{4})")));

    // A chart: its numbers, and a bar per slot with its key.
    const json month = json_of("vdb=web&mode=stat&when=month&date=2001/03");
    EXPECT_EQ(month["name"], "web");
    EXPECT_EQ(month["when"], "month");
    EXPECT_EQ(month["period"], "2001/03");
    EXPECT_EQ(month["title"], "March, 2001 statistics");
    EXPECT_EQ(month["total"], 23);
    EXPECT_EQ(month["this"], 22);
    EXPECT_EQ(month["max"], 15);
    EXPECT_EQ(month["min"], 0);
    EXPECT_EQ(month["average"], 0);  // 22 visits over 31 days
    ASSERT_EQ(month["bars"].size(), 31u);
    EXPECT_EQ(month["bars"][6], json::parse(R"({"label":"2001/03/07","count":15})"));
    EXPECT_EQ(month["bars"][19], json::parse(R"({"label":"2001/03/20","count":7})"));
    long sum = 0;
    for (const json& bar : month["bars"]) sum += bar["count"].get<long>();
    EXPECT_EQ(sum, month["this"]);
    const json year = json_of("vdb=web&mode=stat&when=year&date=2001");
    ASSERT_EQ(year["bars"].size(), 12u);
    EXPECT_EQ(year["bars"][2], json::parse(R"({"label":"2001/03","count":22})"));
    EXPECT_EQ(year["average"], 1);
    const json day = json_of("vdb=web&mode=stat&when=day&date=2001/03/07");
    ASSERT_EQ(day["bars"].size(), 24u);
    EXPECT_EQ(day["bars"][15], json::parse(R"({"label":"2001/03/07/15","count":11})"));
    EXPECT_EQ(day["this"], 15);
}

// A total longer than any integer type is still its number.
TEST_F(Formats, HugeTotalsStayExact) {
    store_records(db, {{"totcnt", std::string(30, '9')}});
    EXPECT_EQ(body("vdb=web", "json"), "{\"name\":\"web\",\"count\":1" + std::string(30, '0') + ",\"counted\":true}\n");
    // Parsed, such a number is a floating-point one; its digits are checked
    // as written.
    const std::string chart = body("vdb=web&mode=stat&when=year&date=2001", "json");
    EXPECT_TRUE(json::parse(chart)["total"].is_number_float());
    EXPECT_NE(chart.find("\"total\":1" + std::string(30, '0') + ","), std::string::npos) << chart;
}

// Errors: the message of the error picture, and a status of its kind.
TEST_F(Formats, JsonErrorsCarryTheirStatus) {
    site.write("save/junk.db", std::string(4096, 'x'));
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"vdb=nosuch", "Status: 404 Not Found", "DB file (./save/nosuch.db) not found"},
        {"", "Status: 400 Bad Request", "VornCounter-2.0.0 beta1 (March 11, 2001)"},
        {"vdb=web&mode=week", "Status: 400 Bad Request", "Unknown mode ('week')"},
        {"vdb=web&cntlen=0", "Status: 400 Bad Request", "Invalid cntlen ('0'): use 1 to 64"},
        {"vdb=../x", "Status: 400 Bad Request", "Invalid counter name ('../x'): a name may not hold '/' or '..'"},
        {"vdb=web&count=x", "Status: 400 Bad Request", "Invalid count ('x'): use yes or no"},
        {"vdb=junk", "Status: 500 Internal Server Error", "DB open error. Bad magic number (./save/junk.db)"},
    };
    for (const auto& [query, status, message] : cases) {
        const RunResult r = run_cgi(site, get(with_format(query, "json")));
        EXPECT_EQ(r.status, 1) << query;
        const Split s = split(r.out);
        EXPECT_EQ(s.header, status + "\n" + kJsonHeader) << query;
        EXPECT_EQ(json::parse(s.body, nullptr, false), json({{"error", message}})) << query;
    }
    // The format of a request that fails before its parameters are read
    // comes from the query string.
    site.write("conf/vc.conf", "TIMEZONE = Mars/Olympus_Mons\n");
    const Split s = split(run_cgi(site, get("mode=date&format=json")).out);
    EXPECT_EQ(s.header, "Status: 500 Internal Server Error\n" + kJsonHeader);
    EXPECT_EQ(json::parse(s.body)["error"],
              "Configuration error. TIMEZONE: 'Mars/Olympus_Mons' is not a time zone (conf/vc.conf)");
}

// A store that cannot be reached is a 503.
TEST_F(Formats, UnreachableStoreIsUnavailable) {
    site.write("conf/vc.conf", "STORE = redis\nREDIS_ADDR = " + site.path("no.sock").string() + "\n");
    const Split s = split(run_cgi(site, get("vdb=web&format=json")).out);
    EXPECT_EQ(s.header, "Status: 503 Service Unavailable\n" + kJsonHeader);
    EXPECT_EQ(std::string(json::parse(s.body)["error"]).rfind("Redis error. ", 0), 0u);
}

// Any other format is the error picture, and nothing is counted.
TEST_F(Formats, UnknownFormatIsRefusedBeforeCounting) {
    for (const char* format : {"xml", "GIF", "", "svg2"}) {
        const RunResult r = run_cgi(site, get(std::string("vdb=web&format=") + format));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(is_error_image(r.out, std::string("Unknown format ('") + format + "')")) << format;
    }
    EXPECT_EQ(db_texts(db).at("totcnt"), "0022");
    // format=gif is the picture as it always was.
    const RunResult gif = run_cgi(site, get("vdb=web&ago=1&format=gif"));
    EXPECT_EQ(gif.out, run_cgi(site, get("vdb=web&ago=1")).out);
}

// A picture file the answer needs that cannot be used: each format refuses
// the request with the message of the error picture, and a visit counts
// exactly when the GIF answer counts it (a counter's visit is recorded
// before its pictures are read; a chart records none).
struct BrokenPicture {
    const char* name;
    const char* query;
    const char* file;     // in the site
    const char* content;  // what the file then holds; none: it is removed
    const char* message;
};
const BrokenPicture kBrokenPictures[] = {
    {"NoDigitSet", "vdb=web&digit=nosuchset", nullptr, nullptr,
     "Image file open error. ('./image/digits/nosuchset/0.gif')"},
    {"DigitMissing", "vdb=web&cntlen=6", "image/digits/d/2.gif", nullptr,
     "Image file open error. ('./image/digits/d/2.gif')"},
    {"DigitNoGif", "vdb=web&cntlen=6", "image/digits/d/0.gif", "GIF89a, but no picture",
     "Image file decode error. ('./image/digits/d/0.gif')"},
    {"DateMarkMissing", "mode=date&style=a", "image/digits/d/h.gif", nullptr,
     "Image file open error. ('./image/digits/d/h.gif')"},
    {"BackgroundMissing", "vdb=web&mode=stat&when=month", "image/resource/imgmonth.rc", nullptr,
     "Error, './image/resource/imgmonth.rc' file not found"},
    {"BackgroundNoGif", "vdb=web&mode=stat&when=year", "image/resource/imgyear.rc", "not a picture",
     "Error, './image/resource/imgyear.rc' is not a GIF picture"},
};

void PrintTo(const BrokenPicture& row, std::ostream* os) { *os << row.name; }

class JsonRefusesAsThePicture : public Formats, public testing::WithParamInterface<BrokenPicture> {};

TEST_P(JsonRefusesAsThePicture, SameMessageSameCount) {
    const BrokenPicture& row = GetParam();
    if (row.file && row.content) site.write(row.file, row.content);
    if (row.file && !row.content) fs::remove(site.path(row.file));
    const auto total = [&] { return util_tolong(db_texts(db).at("totcnt")); };
    const long before = total();
    const RunResult gif = run_cgi(site, get(row.query));
    EXPECT_EQ(gif.status, 1);
    EXPECT_TRUE(is_error_image(gif.out, row.message)) << error_text(gif.out).value_or("(no error picture)");
    const long counted = total() - before;

    const RunResult answer = run_cgi(site, get(with_format(row.query, "json")));
    EXPECT_EQ(answer.status, 1);
    const Split s = split(answer.out);
    EXPECT_EQ(s.header, "Status: 500 Internal Server Error\n" + kJsonHeader);
    EXPECT_EQ(json::parse(s.body, nullptr, false), json({{"error", row.message}})) << s.body;
    EXPECT_EQ(total() - before, 2 * counted) << "JSON counted otherwise than the GIF";

    const RunResult svg = run_cgi(site, get(with_format(row.query, "svg")));
    EXPECT_EQ(parse_svg(split(svg.out).body).title, row.message);
    EXPECT_EQ(total() - before, 3 * counted);
}

INSTANTIATE_TEST_SUITE_P(Formats, JsonRefusesAsThePicture, testing::ValuesIn(kBrokenPictures),
                         [](const auto& info) { return std::string(info.param.name); });

// A worker answers JSON from the pictures it keeps, and refuses as soon as
// a picture it kept is gone.
TEST_F(Formats, WorkerChecksThePicturesItKeeps) {
    FastcgiWorker worker(site);
    EXPECT_EQ(split(worker.ask(get("mode=date&style=a&format=json")).out).header, kJsonHeader);
    EXPECT_EQ(split(worker.ask(get("vdb=web&mode=stat&when=day&format=json")).out).header, kJsonHeader);
    fs::remove(site.path("image/digits/d/h.gif"));
    fs::remove(site.path("image/resource/imgday.rc"));
    EXPECT_EQ(json::parse(split(worker.ask(get("mode=date&style=a&format=json")).out).body)["error"],
              "Image file open error. ('./image/digits/d/h.gif')");
    EXPECT_EQ(json::parse(split(worker.ask(get("vdb=web&mode=stat&when=day&format=json")).out).body)["error"],
              "Error, './image/resource/imgday.rc' file not found");
    EXPECT_EQ(worker.stop(), 0);
}

// The twin of a digit set is used only whole: a set without one, a twin
// missing a picture or holding one that is no GIF, or a twin not twice the
// size gives the SVG document of the picture itself, as it always was, and
// the answer is never refused for the twin's sake.
TEST_F(Formats, SvgUsesOnlyAWholeTwin) {
    const auto copy_set = [&](const std::string& from, const std::string& to) {
        fs::copy(site.path("image/digits/" + from), site.path("image/digits/" + to));
    };
    copy_set("d", "solo");
    copy_set("d", "gap");
    copy_set("d-2x", "gap-2x");
    fs::remove(site.path("image/digits/gap-2x/0.gif"));
    copy_set("d", "junk");
    copy_set("d-2x", "junk-2x");
    site.write("image/digits/junk-2x/0.gif", "not a picture");
    copy_set("d", "same");
    copy_set("d", "same-2x");  // a "twin" of the picture's own size
    for (const char* set : {"solo", "gap", "junk", "same"}) {
        const std::string query = std::string("vdb=web&ago=-100000&digit=") + set;
        EXPECT_EQ(svg_of(query).title, "0") << set;
        EXPECT_EQ(svg_of(query, "2").title, "0") << set;
        const std::string plain = split(run_cgi(site, get(with_format(query, "svg"))).out).body;
        const std::string gif = split(run_cgi(site, get(query)).out).body;
        EXPECT_EQ(plain, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"108\" height=\"26\" viewBox=\"0 0 108 26\" "
                         "role=\"img\" aria-label=\"0\"><title>0</title><image width=\"108\" height=\"26\" "
                         "style=\"image-rendering:pixelated\" href=\"data:image/gif;base64," +
                             text_base64(gif) + "\"/></svg>\n")
            << set;
    }
    // With a whole twin, at every scale.
    EXPECT_EQ(svg_of("mode=date&style=f&digit=paper", "2", 0, "mode=date&style=f&digit=paper-2x").title.size(), 2u);
    EXPECT_EQ(svg_of("vdb=web&ago=-100000&digit=flip", "", 0, "vdb=web&ago=-100000&digit=flip-2x").title, "0");
}

// Every format counts as the picture does, the counting rules included.
TEST_F(Formats, EachFormatCountsAsThePicture) {
    site.write("conf/vc.conf", site.read("conf/vc.conf") + "IGNORE_BOTS = yes\nREPEAT_MINUTES = 30\n");
    site.write("conf/bots.txt", "curl\n");
    const auto visit = [&](const std::string& format, const std::string& agent) {
        Request r = get(format.empty() ? "vdb=web" : "vdb=web&format=" + format);
        r.extra_env["HTTP_USER_AGENT"] = agent;
        return run_cgi(site, r);
    };
    int expected = 22;
    for (const char* format : {"", "svg", "json", "badge", "shields"}) {
        const std::string browser = std::string("Mozilla/5.0 ") + format;
        visit(format, browser);  // counted
        visit(format, browser);  // the same visitor again: not counted
        visit(format, "curl/8");  // a robot: not counted
        ++expected;
        EXPECT_EQ(util_tolong(db_texts(db).at("totcnt")), expected) << format;
    }
    // What is shown to a visitor who is not counted is the total.
    EXPECT_EQ(json::parse(split(visit("json", "curl/8").out).body)["count"], expected);
    EXPECT_EQ(parse_svg(split(visit("svg", "curl/8").out).body).title, std::to_string(expected));
    EXPECT_EQ(parse_svg(split(visit("badge", "curl/8").out).body).title, "visitors: " + std::to_string(expected));
    EXPECT_EQ(json::parse(split(visit("shields", "curl/8").out).body)["message"], std::to_string(expected));
}

// TIMEZONE puts hour keys, days and dates in the site's zone, far from the
// machine's (UTC here), and a worker follows each request's configuration.
TEST(TimeZone, HourKeysDatesAndChartsFollowTheSite) {
    TempSite site;
    site.create_counter("web");
    const std::string conf = site.read("conf/vc.conf");
    site.write("conf/vc.conf", conf + "TIMEZONE = Pacific/Kiritimati\n");  // UTC+14, no summer time
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(run_cgi(site, get("vdb=web")).status, 0);
    const std::time_t after = std::time(nullptr);
    char hour_then[32], hour_after[32];
    const std::time_t shifted_before = before + 14 * 3600, shifted_after = after + 14 * 3600;
    std::strftime(hour_then, sizeof hour_then, "%Y/%m/%d/%H", std::gmtime(&shifted_before));
    std::strftime(hour_after, sizeof hour_after, "%Y/%m/%d/%H", std::gmtime(&shifted_after));
    const auto records = db_texts(site.path("save/web.db"));
    EXPECT_TRUE(records.count(hour_then) || records.count(hour_after)) << "no record of " << hour_then;
    EXPECT_TRUE(records.count(kStartDateKey));
    // "today" (ago=0) is the zone's day, and so is the date picture.
    const std::string day = std::string(hour_then).substr(0, 10);
    EXPECT_EQ(split(run_cgi(site, get("vdb=web&ago=0&format=json")).out).body, "{\"name\":\"web\",\"count\":1,\"counted\":false,\"reason\":\"past\"}\n");
    const std::string shown = json::parse(split(run_cgi(site, get("mode=date&style=b&format=json")).out).body)["text"];
    EXPECT_EQ(shown, day) << "far from UTC's " << std::string(hour_then);
    const json chart = json::parse(split(run_cgi(site, get("vdb=web&mode=stat&when=day&format=json")).out).body);
    EXPECT_EQ(chart["period"], day);
    EXPECT_EQ(chart["this"], 1);

    // A name that is no zone, or could reach outside the zone database.
    for (const char* bad : {"Mars/Olympus_Mons", "../../etc/passwd", "/etc/localtime", "Asia", "UTC0", "KST-9"}) {
        site.write("conf/vc.conf", conf + "TIMEZONE = " + bad + "\n");
        const RunResult r = run_cgi(site, get("mode=date"));
        EXPECT_TRUE(is_error_image(
            r.out, std::string("Configuration error. TIMEZONE: '") + bad + "' is not a time zone (conf/vc.conf)"))
            << bad;
    }

    // One worker, the zone changed between its requests.
    site.write("conf/vc.conf", conf + "TIMEZONE = Pacific/Kiritimati\n");
    FastcgiWorker worker(site);
    const auto date = [&] { return json::parse(split(worker.ask(get("mode=date&style=b&format=json")).out).body); };
    EXPECT_EQ(date()["text"], day);
    site.write("conf/vc.conf", conf + "TIMEZONE = Pacific/Pago_Pago\n");  // UTC-11
    const std::time_t now = std::time(nullptr) - 11 * 3600;
    char west[16];
    std::strftime(west, sizeof west, "%Y/%m/%d", std::gmtime(&now));
    EXPECT_EQ(date()["text"], west);
    site.write("conf/vc.conf", conf);  // the worker's own zone: UTC
    const std::time_t utc = std::time(nullptr);
    char own[16];
    std::strftime(own, sizeof own, "%Y/%m/%d", std::gmtime(&utc));
    EXPECT_EQ(date()["text"], own);
    EXPECT_EQ(worker.stop(), 0);
    EXPECT_EQ(worker.err(), "");
}

}  // namespace
// A tzdata upgrade replaces a zone's file, or removes it: a worker answers
// the next request with the new offsets, or with the TIMEZONE error, as a
// CGI run does; and a process's own zone (TZ) is read again the same way.
TEST(TimeZone, WorkerFollowsAReplacedOrRemovedZoneFile) {
    TempSite zones(false);  // a zone database of its own (TZDIR)
    fs::create_directories(zones.path("Site"));
    const fs::path file = zones.path("Site/Zone");
    const auto install = [&](const char* from) {  // as dpkg does: a new file renamed over the old
        fs::copy_file(fs::path("/usr/share/zoneinfo") / from, zones.path("Site/new"));
        fs::rename(zones.path("Site/new"), file);
    };
    install("Asia/Kolkata");  // +05:30, no summer time
    TempSite site;
    const std::string conf = site.read("conf/vc.conf");
    site.write("conf/vc.conf", conf + "TIMEZONE = Site/Zone\n");
    const std::string tzdir = "TZDIR=" + zones.root().string();
    FastcgiWorker worker(site, kVorncounter, {tzdir});
    Request time = get("mode=time&style=b&format=json");
    time.extra_env["TZDIR"] = zones.root().string();
    // The text of the clock at `offset` seconds east of UTC, or "" when
    // the answer shows none of the minutes the request may have seen.
    const auto shown_at = [&](auto ask, long offset) {
        const std::time_t before = std::time(nullptr);
        const std::string out = ask();
        const std::time_t after = std::time(nullptr);
        const json text = json::parse(split(out).body, nullptr, false)["text"];
        for (std::time_t t : {before + offset, after + offset}) {
            char clock[16];
            std::strftime(clock, sizeof clock, "%H:%M", std::gmtime(&t));
            if (text == clock) return true;
        }
        ADD_FAILURE() << split(out).body << " is not the clock at UTC" << (offset < 0 ? "" : "+") << offset << " s";
        return false;
    };
    const auto from_worker = [&] { return worker.ask(time).out; };
    const auto from_cgi = [&] { return run_cgi(site, time).out; };
    EXPECT_TRUE(shown_at(from_worker, 5 * 3600 + 1800));

    install("Asia/Tokyo");  // +09:00
    EXPECT_TRUE(shown_at(from_worker, 9 * 3600));
    EXPECT_TRUE(shown_at(from_cgi, 9 * 3600));

    fs::remove(file);
    const std::string nozone = "Configuration error. TIMEZONE: 'Site/Zone' is not a time zone (conf/vc.conf)";
    for (const std::string& out : {from_worker(), from_cgi()}) {
        EXPECT_EQ(json::parse(split(out).body, nullptr, false), json({{"error", nozone}}));
    }
    install("Asia/Kolkata");  // back again
    EXPECT_TRUE(shown_at(from_worker, 5 * 3600 + 1800));
    EXPECT_EQ(worker.stop(), 0);
    EXPECT_EQ(worker.err(), "");

    // Without TIMEZONE, the worker's own TZ naming a file of the database.
    site.write("conf/vc.conf", conf);
    FastcgiWorker own(site, kVorncounter, {tzdir, "TZ=Site/Zone"});
    const auto from_own = [&] { return own.ask(time).out; };
    EXPECT_TRUE(shown_at(from_own, 5 * 3600 + 1800));
    install("America/Caracas");  // -04:00
    EXPECT_TRUE(shown_at(from_own, -4 * 3600));
    EXPECT_EQ(own.stop(), 0);
}

}  // namespace vorn::test
