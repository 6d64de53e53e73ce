// SPDX-License-Identifier: GPL-3.0-or-later
// Badges (format=badge) and their shields.io endpoint answers
// (format=shields) of the built program: read back with expat and
// nlohmann::json, each text's length checked against DejaVu Sans measured
// here with FreeType, and abbreviated counts, refusals and dark mode.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/util.h"
#include "harness.h"

namespace vorn::test {
namespace {

using nlohmann::json;

std::string body_of(const std::string& out) {
    const std::size_t end = out.find("\n\n");
    return end == std::string::npos ? "" : out.substr(end + 2);
}

// DejaVu Sans as a browser lays it out, measured here with FreeType: the
// advance of each character; one em for a character the font lacks (the
// Hangul of these tests, which a browser takes from a CJK font of one em).
class Font {
public:
    explicit Font(const char* file) {
        FT_Init_FreeType(&library_);
        if (FT_New_Face(library_, (std::string("/usr/share/fonts/truetype/dejavu/") + file).c_str(), 0, &face_) != 0)
            face_ = nullptr;
    }
    ~Font() {
        if (face_) FT_Done_Face(face_);
        FT_Done_FreeType(library_);
    }
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;

    double width(const std::string& text, double px) const {
        double units = 0;
        for (std::string_view rest = text; !rest.empty();) {
            const std::size_t len = std::max<std::size_t>(text_utf8length(rest), 1);
            const FT_UInt glyph = FT_Get_Char_Index(face_, text_utf8char(rest, len));
            rest.remove_prefix(len);
            if (glyph != 0 && FT_Load_Glyph(face_, glyph, FT_LOAD_NO_SCALE) == 0) {
                units += static_cast<double>(face_->glyph->advance.x);
            } else {
                units += face_->units_per_EM;
            }
        }
        return units / face_->units_per_EM * px;
    }

private:
    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
};

// How each style lays out its badge.
struct Style {
    const char* name;
    int height;
    int padding;
    double font_px;
    bool capitals;  // and letters 1.25 px apart, the value in bold
};
constexpr Style kStyles[] = {
    {"flat", 20, 6, 11, false},
    {"flat-square", 20, 6, 11, false},
    {"plastic", 18, 6, 11, false},
    {"for-the-badge", 28, 12, 10, true},
};

class Badges : public testing::Test {
protected:
    void SetUp() override { site.create_counter("web"); }

    void set_total(const std::string& total) { store_records(site.path("save/web.db"), {{"totcnt", total}}); }
    long total() {
        const auto records = db_texts(site.path("save/web.db"));
        return records.count("totcnt") ? util_tolong(records.at("totcnt")) : 0;
    }

    // The badge answer of `query`: status 0 (or 1 for an error), the SVG
    // header and a well-formed document.
    Doc badge(const std::string& query, int status = 0) {
        const RunResult r = run_cgi(site, get(query + "&format=badge"));
        EXPECT_EQ(r.status, status) << query;
        EXPECT_EQ(r.out.substr(0, r.out.find("\n\n") + 2),
                  "Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nContent-type: image/svg+xml\n\n");
        Doc doc = parse_doc(body_of(r.out));
        EXPECT_TRUE(doc.ok) << query << "\n" << r.out;
        return doc;
    }
    json shields(const std::string& query, int status = 0) {
        const RunResult r = run_cgi(site, get(query + "&format=shields"));
        EXPECT_EQ(r.status, status) << query;
        EXPECT_NE(r.out.find("\nAccess-Control-Allow-Origin: *\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Status:"), std::string::npos) << "shields reads only an answer of status 200";
        return json::parse(body_of(r.out), nullptr, false);
    }

    TempSite site;
};

// shields.io's endpoint schema: these keys only, of these types.
void expect_endpoint_schema(const json& doc) {
    ASSERT_TRUE(doc.is_object()) << doc;
    const std::map<std::string, json::value_t> kTypes = {
        {"schemaVersion", json::value_t::number_unsigned}, {"label", json::value_t::string},
        {"message", json::value_t::string},                {"color", json::value_t::string},
        {"labelColor", json::value_t::string},             {"isError", json::value_t::boolean},
        {"style", json::value_t::string},
    };
    EXPECT_EQ(doc.value("schemaVersion", 0), 1);
    EXPECT_TRUE(doc.contains("label") && doc.contains("message")) << doc;
    for (const auto& [key, value] : doc.items()) {
        ASSERT_TRUE(kTypes.count(key)) << "shields refuses the key " << key;
        EXPECT_EQ(value.type(), kTypes.at(key)) << key;
    }
}

struct Labelled {
    const char* name;
    const char* label;  // URL-encoded
    const char* shown;     // as the badge shows it
    const char* capitals;  // as for-the-badge shows it
};
constexpr Labelled kLabels[] = {
    {"None", "", "", ""},
    {"Latin", "visitors", "visitors", "VISITORS"},
    {"Kerning", "AV%20To%20Wa%20ffi", "AV To Wa ffi", "AV TO WA FFI"},
    {"Cyrillic", "%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82", "Привет", "ПРИВЕТ"},
    {"Korean", "%EB%B0%A9%EB%AC%B8%EC%9E%90", "방문자", "방문자"},
    {"Mixed", "%EB%B0%A9%EB%AC%B8%20visits%20%C3%BC%C5%82", "방문 visits üł", "방문 VISITS ÜŁ"},
    {"Spaces", "%20a%09%0A%20b%20%20", "a b", "A B"},
    {"Forty", "iiiiiiiiiiWWWWWWWWWW%E2%80%94%E2%80%94%E2%80%94%E2%80%94%E2%80%94mmmmmmmmmm.....",
     "iiiiiiiiiiWWWWWWWWWW—————mmmmmmmmmm.....", "IIIIIIIIIIWWWWWWWWWW—————MMMMMMMMMM....."},
};

class BadgeLayout : public Badges, public testing::WithParamInterface<std::tuple<Style, Labelled>> {};

// Each part is as wide as its text in DejaVu Sans plus the padding (less
// than a pixel more, as parts are whole pixels), each text is centred in
// its part and carries its measured length, and the badge is named.
TEST_P(BadgeLayout, PartsFitTheirTextsMeasuredInTheFont) {
    const auto& [style, labelled] = GetParam();
    const Font sans("DejaVuSans.ttf"), bold("DejaVuSans-Bold.ttf");
    set_total("123456789012345678901234567890");
    const Doc doc = badge(std::string("vdb=web&count=no&badge=") + style.name + "&label=" + labelled.label);
    const std::string label = style.capitals ? labelled.capitals : labelled.shown;
    const std::string value = "123,456,789,012,345,678,901,234,567,890";
    const std::string name = label.empty() ? value : label + ": " + value;
    EXPECT_EQ(doc.attr("svg", "aria-label"), name);
    EXPECT_EQ(doc.all("title").at(0)->text, name);
    EXPECT_EQ(doc.attr("svg", "role"), "img");
    EXPECT_EQ(doc.attr("svg", "height"), std::to_string(style.height));

    const std::vector<const Element*> parts = doc.parts();
    std::vector<const Element*> texts;
    for (const Element* text : doc.all("text"))
        if (!text->attrs.count("aria-hidden")) texts.push_back(text);
    ASSERT_EQ(parts.size(), label.empty() ? 1u : 2u);
    ASSERT_EQ(texts.size(), parts.size());
    double right = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool is_value = i + 1 == parts.size();
        const std::string& shown = is_value ? value : label;
        EXPECT_EQ(texts[i]->text, shown);
        double expected = (is_value && style.capitals ? bold : sans).width(shown, style.font_px);
        if (style.capitals) expected += 1.25 * static_cast<double>(text_utf8count(shown) - 1);
        const double length = std::stod(texts[i]->attrs.at("textLength"));
        EXPECT_NEAR(length, expected, 0.01) << shown;
        const double x = std::stod(parts[i]->attrs.count("x") ? parts[i]->attrs.at("x") : "0");
        const double width = std::stod(parts[i]->attrs.at("width"));
        EXPECT_EQ(x, right);
        EXPECT_GE(width - 2 * style.padding, length - 0.01) << shown << ": clipped";
        EXPECT_LT(width - 2 * style.padding, length + 1) << shown << ": a gap of a pixel or more";
        EXPECT_DOUBLE_EQ(std::stod(texts[i]->attrs.at("x")), x + width / 2);
        right = x + width;
    }
    EXPECT_EQ(doc.attr("svg", "width"), std::to_string(static_cast<int>(right)));
}

INSTANTIATE_TEST_SUITE_P(Badges, BadgeLayout, testing::Combine(testing::ValuesIn(kStyles), testing::ValuesIn(kLabels)),
                         [](const auto& info) {
                             std::string style = std::get<0>(info.param).name;
                             for (char& c : style)
                                 if (c == '-') c = '_';
                             return style + "_" + std::get<1>(info.param).name;
                         });

// Counts in short round down, so a badge never shows more than the count;
// without abbr they are grouped.
struct Abbreviated {
    const char* total;
    const char* abbr;
    const char* grouped;
};
constexpr Abbreviated kTotals[] = {
    {"0", "0", "0"},
    {"999", "999", "999"},
    {"1000", "1.0k", "1,000"},
    {"1099", "1.0k", "1,099"},
    {"12345", "12.3k", "12,345"},
    {"99999", "99.9k", "99,999"},
    {"100000", "100k", "100,000"},
    {"999999", "999k", "999,999"},
    {"1299999", "1.2M", "1,299,999"},
    {"3456789012", "3.4B", "3,456,789,012"},
    {"9223372036854775807", "9.2Qi", "9,223,372,036,854,775,807"},
    {"123456789012345678901234567890", "123Oc", "123,456,789,012,345,678,901,234,567,890"},
    {"1234567890123456789012345678901234567", "1,234,567,890,123,456,789,012,345,678,901,234,567",
     "1,234,567,890,123,456,789,012,345,678,901,234,567"},
};

class BadgeCounts : public Badges, public testing::WithParamInterface<Abbreviated> {};

TEST_P(BadgeCounts, AbbreviatedDownOrGrouped) {
    set_total(GetParam().total);
    const json in_short = shields("vdb=web&count=no&abbr=yes");
    expect_endpoint_schema(in_short);
    EXPECT_EQ(in_short["message"], GetParam().abbr);
    EXPECT_EQ(shields("vdb=web&count=no")["message"], GetParam().grouped);
    EXPECT_EQ(badge("vdb=web&count=no&abbr=yes").attr("svg", "aria-label"), std::string("visitors: ") + GetParam().abbr);
    // An SVG picture is named by the count in short; the picture is the same.
    const std::string svg = body_of(run_cgi(site, get("vdb=web&count=no&format=svg&abbr=yes")).out);
    EXPECT_EQ(parse_doc(svg).attr("svg", "aria-label"), GetParam().abbr);
}

INSTANTIATE_TEST_SUITE_P(Badges, BadgeCounts, testing::ValuesIn(kTotals),
                         [](const auto& info) { return std::string("total_") + info.param.total; });

// A parameter the badge cannot follow is refused before anything is
// counted, with a red badge (or a shields error) naming the value.
TEST_F(Badges, RefusalsNameTheValueAndCountNothing) {
    const std::string colours = "brightgreen, green, yellowgreen, yellow, orange, red, blue, lightgrey, grey";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"color=purple", "Invalid color ('purple'): use " + colours + " or a hex colour RGB or RRGGBB"},
        {"color=12345", "Invalid color ('12345'): use " + colours + " or a hex colour RGB or RRGGBB"},
        {"labelColor=%23ggg", "Invalid labelColor ('#ggg'): use " + colours + " or a hex colour RGB or RRGGBB"},
        {"badge=round", "Unknown badge style ('round'): use flat, flat-square, plastic or for-the-badge"},
        {"abbr=1", "Invalid abbr ('1'): use yes or no"},
        {"darkmode=dark", "Invalid darkmode ('dark'): use auto or no"},
        {"label=" + std::string(101, 'x'), "Label too long (101 characters): use at most 100"},
    };
    for (const auto& [parameter, message] : refused) {
        const Doc doc = badge("vdb=web&" + parameter + "&label=hits", 1);
        const std::vector<const Element*> texts = doc.all("text");
        ASSERT_FALSE(texts.empty()) << parameter;
        EXPECT_EQ(texts.back()->text, message);
        ASSERT_EQ(doc.parts().size(), 2u) << parameter;
        EXPECT_EQ(doc.parts()[0]->attrs.at("fill"), "#555555") << parameter;
        EXPECT_EQ(doc.parts()[1]->attrs.at("fill"), "#e05d44") << parameter;
        const json error = shields("vdb=web&" + parameter, 1);
        expect_endpoint_schema(error);
        EXPECT_EQ(error["message"], message);
        EXPECT_EQ(error["isError"], true);
        EXPECT_EQ(error["color"], "red");
    }
    EXPECT_EQ(total(), 0);
    // A missing counter and a bad mode are red badges too, under the label asked for.
    EXPECT_EQ(badge("vdb=nosuch&label=hits", 1).attr("svg", "aria-label"), "hits: DB file (./save/nosuch.db) not found");
    EXPECT_EQ(badge("vdb=web&mode=week", 1).attr("svg", "aria-label"), "visitors: Unknown mode ('week')");
    // The parameters of a badge mean nothing to a picture.
    EXPECT_EQ(run_cgi(site, get("mode=date&style=e&color=purple&badge=round")).out,
              run_cgi(site, get("mode=date&style=e")).out);
}

// Colours by name or hex, labels by mode, and what shields is told.
TEST_F(Badges, ColoursLabelsAndModes) {
    const Doc hex = badge("vdb=web&color=ABC&labelColor=%23102030");
    EXPECT_EQ(hex.parts().at(0)->attrs.at("fill"), "#102030");
    EXPECT_EQ(hex.parts().at(1)->attrs.at("fill"), "#aabbcc");
    // Text on a light colour is dark.
    EXPECT_EQ(badge("vdb=web&color=fff").all("text").back()->attrs.at("fill"), "#333");
    EXPECT_EQ(badge("vdb=web&color=brightgreen").all("text").back()->attrs.at("fill"), "#fff");
    EXPECT_EQ(total(), 3);

    // One character is scaled to its length, as spacing cannot stretch it;
    // more are spaced.
    const Doc one = badge("mode=date&label=%EB%B0%A9");
    EXPECT_EQ(one.all("text").at(1)->attrs.at("lengthAdjust"), "spacingAndGlyphs");
    EXPECT_EQ(one.all("text").at(3)->attrs.count("lengthAdjust"), 0u);
    EXPECT_EQ(badge("mode=date&style=e").attr("svg", "aria-label").substr(0, 6), "date: ");
    EXPECT_EQ(badge("mode=time&label=now").attr("svg", "aria-label").substr(0, 5), "now: ");
    store_records(site.path("save/web.db"), {{"2001/03/07/09", "4"}, {"2001/03/20/00", "1007"}});
    // A badge shows no chart: it needs no background.
    fs::remove(site.path("image/resource/imgmonth.rc"));
    const json chart = shields("vdb=web&mode=stat&when=month&date=2001/03&color=4c1&labelColor=gray&badge=plastic");
    expect_endpoint_schema(chart);
    EXPECT_EQ(chart, json::parse(R"({"schemaVersion":1,"label":"March, 2001 statistics","message":"1,011",
                                    "color":"4c1","labelColor":"gray","style":"plastic"})"));
    EXPECT_EQ(total(), 3);
}

// With darkmode=auto a badge carries darker colours for a dark page, and an
// SVG picture whose digit set has a -dark twin shows the twin's picture
// there; a set without one is shown as it is.
TEST_F(Badges, DarkModeInsideTheSvg) {
    const Doc light = badge("vdb=web&count=no");
    EXPECT_TRUE(light.all("style").empty());
    const Doc dark = badge("vdb=web&count=no&darkmode=auto&color=blue");
    ASSERT_EQ(dark.all("style").size(), 1u);
    EXPECT_NE(dark.all("style")[0]->text.find("@media (prefers-color-scheme:dark){.l{fill:#3a3a3a}.v{fill:#005687}"),
              std::string::npos)
        << dark.all("style")[0]->text;
    EXPECT_EQ(dark.parts().at(0)->attrs.at("class"), "l");

    // Sets of the site's own: "x" with a twin for dark pages (its pictures
    // unlike the light ones), "z" also with twins for high-density
    // screens, "y" with none.
    for (const char* set : {"x", "x-dark", "y", "z", "z-2x", "z-dark", "z-dark-2x"}) {
        fs::copy(site.path(std::string("image/digits/") + (std::string(set).ends_with("2x") ? "d-2x" : "d")),
                 site.path(std::string("image/digits/") + set));
    }
    for (const char* set : {"x-dark", "z-dark", "z-dark-2x"}) {
        const std::string dir = std::string("image/digits/") + set;
        fs::copy_file(site.path(dir + "/1.gif"), site.path(dir + "/0.gif"), fs::copy_options::overwrite_existing);
    }
    const auto svg = [&](const std::string& query) {
        const Doc doc = parse_doc(body_of(run_cgi(site, get("vdb=web&count=no&format=svg&" + query)).out));
        EXPECT_TRUE(doc.ok) << query;
        return doc;
    };
    const auto gif_of = [&](const std::string& digit) {
        return "data:image/gif;base64," + text_base64(body_of(run_cgi(site, get("vdb=web&count=no&digit=" + digit)).out));
    };
    const Doc x_doc = svg("digit=x&darkmode=auto");
    const std::vector<const Element*> x = x_doc.all("image"), x_style = x_doc.all("style");
    ASSERT_EQ(x.size(), 2u);
    ASSERT_EQ(x_style.size(), 1u);
    EXPECT_EQ(x_style[0]->text, ".d{display:none}@media (prefers-color-scheme:dark){.l{display:none}.d{display:inline}}");
    EXPECT_EQ(x[0]->attrs.at("class"), "l");
    EXPECT_EQ(x[0]->attrs.at("href"), gif_of("x"));
    EXPECT_EQ(x[1]->attrs.at("class"), "d");
    EXPECT_EQ(x[1]->attrs.at("href"), gif_of("x-dark"));
    EXPECT_NE(gif_of("x"), gif_of("x-dark"));
    // The twins for high-density screens of both.
    const Doc z_doc = svg("digit=z&darkmode=auto");
    const std::vector<const Element*> z = z_doc.all("image");
    ASSERT_EQ(z.size(), 2u);
    EXPECT_EQ(z[0]->attrs.at("href"), gif_of("z-2x"));
    EXPECT_EQ(z[1]->attrs.at("href"), gif_of("z-dark-2x"));
    // Without a dark twin, or without darkmode, the one picture as before.
    for (const char* query : {"digit=y&darkmode=auto", "digit=x", "digit=x&darkmode=no"}) {
        const Doc one = svg(query);
        EXPECT_EQ(one.all("image").size(), 1u) << query;
        EXPECT_TRUE(one.all("style").empty()) << query;
    }
}

}  // namespace
}  // namespace vorn::test
