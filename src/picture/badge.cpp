// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/badge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/text.h"
#include "picture/textwidth.h"

namespace vorn {

namespace {

struct NamedColor {
    const char* name;
    const char* rgb;
};

constexpr NamedColor kNamedColors[] = {
    {"brightgreen", "#44cc11"}, {"green", "#97ca00"}, {"yellowgreen", "#a4a61d"}, {"yellow", "#dfb317"},
    {"orange", "#fe7d37"},      {"red", "#e05d44"},   {"blue", "#007ec6"},        {"lightgrey", "#9f9f9f"},
    {"lightgray", "#9f9f9f"},   {"grey", "#555555"},  {"gray", "#555555"},
};

// How each style lays out its parts and text, in pixels.
struct Geometry {
    int height;
    double font_px;
    int padding;            // on either side of a text
    int radius;             // of the badge's corners
    double baseline;        // of the text
    bool shadow;            // a text shadow one pixel below
    const char* gradient;   // the stops of the light over the parts, or none
    bool uppercase;         // for-the-badge's capitals,
    double letter_spacing;  // spread between its letters,
    bool bold_value;        // and its bold value
};

constexpr char kFlatGradient[] =
    "<stop offset=\"0\" stop-color=\"#bbb\" stop-opacity=\".1\"/><stop offset=\"1\" stop-opacity=\".1\"/>";
constexpr char kPlasticGradient[] =
    "<stop offset=\"0\" stop-color=\"#fff\" stop-opacity=\".7\"/><stop offset=\".1\" stop-color=\"#aaa\" "
    "stop-opacity=\".1\"/><stop offset=\".9\" stop-opacity=\".3\"/><stop offset=\"1\" stop-opacity=\".5\"/>";

const Geometry& _badge_geometry(BadgeStyle style) {
    static constexpr Geometry kFlat{20, 11, 6, 3, 14, true, kFlatGradient, false, 0, false};
    static constexpr Geometry kFlatSquare{20, 11, 6, 0, 14, false, nullptr, false, 0, false};
    static constexpr Geometry kPlastic{18, 11, 6, 4, 13, true, kPlasticGradient, false, 0, false};
    static constexpr Geometry kForTheBadge{28, 10, 12, 0, 18, false, nullptr, true, 1.25, true};
    switch (style) {
        case BadgeStyle::kFlatSquare: return kFlatSquare;
        case BadgeStyle::kPlastic: return kPlastic;
        case BadgeStyle::kForTheBadge: return kForTheBadge;
        case BadgeStyle::kFlat: break;
    }
    return kFlat;
}

struct Rgb {
    int r, g, b;
};

Rgb _badge_rgb(const std::string& hex) {
    const auto part = [&](std::size_t at) { return std::stoi(hex.substr(at, 2), nullptr, 16); };
    return {part(1), part(3), part(5)};
}

std::string _badge_hex(Rgb c) {
    char out[8];
    std::snprintf(out, sizeof out, "#%02x%02x%02x", c.r, c.g, c.b);
    return out;
}

// The colour a dark page shows in place of `hex`: a third darker, so a
// badge does not glare on it.
std::string _badge_dark(const std::string& hex) {
    const Rgb c = _badge_rgb(hex);
    const auto dim = [](int v) { return static_cast<int>(std::lround(v * 0.68)); };
    return _badge_hex({dim(c.r), dim(c.g), dim(c.b)});
}

// Text on a light colour is dark, with a light shadow; on any other white
// with a dark one.
struct Ink {
    const char* text;
    const char* shadow;
};

Ink _badge_ink(const std::string& hex) {
    const Rgb c = _badge_rgb(hex);
    const double brightness = (299.0 * c.r + 587.0 * c.g + 114.0 * c.b) / 255000.0;
    return brightness > 0.69 ? Ink{"#333", "#ccc"} : Ink{"#fff", "#010101"};
}

// A length for an attribute: at most two decimals, no trailing zeros.
std::string _badge_number(double v) {
    char out[32];
    std::snprintf(out, sizeof out, "%.2f", v);
    std::string text = out;
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
}

// The capital of `c` in the Latin, Greek and Cyrillic letters DejaVu Sans
// draws most; any other character as it is.
char32_t _badge_upper(char32_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F)) {
        return c - 0x20;
    }
    if (c == 0xFF) return 0x178;
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    // Latin Extended-A pairs capital and small letter, the capital first,
    // but for the stretches where the small letter comes first.
    const bool capital_even = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    const bool capital_odd = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if ((capital_even && c % 2 == 1) || (capital_odd && c % 2 == 0)) return c - 1;
    return c;
}

// The text a part shows: characters XML cannot hold as U+FFFD, white space
// collapsed as SVG collapses it, and in capitals where the style asks.
std::string _badge_text(std::string_view raw, bool uppercase) {
    const std::string safe = text_xmlsafe(raw);
    std::string out;
    std::string_view rest = safe;
    bool space = false;
    while (!rest.empty()) {
        const std::size_t len = std::max<std::size_t>(text_utf8length(rest), 1);
        const std::string_view bytes = rest.substr(0, len);
        const char32_t c = text_utf8char(rest, len);
        rest.remove_prefix(len);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        if (uppercase) {
            out += text_utf8encode(_badge_upper(c));
        } else {
            out += bytes;
        }
    }
    return out;
}

// One part of the badge: its text as shown, how wide the text is and how
// wide the part.
struct Part {
    std::string text;
    double text_width = 0;
    int width = 0;
};

Part _badge_part(std::string_view raw, const Geometry& g, bool bold) {
    Part part;
    part.text = _badge_text(raw, g.uppercase);
    if (part.text.empty()) return part;
    part.text_width = textwidth_measure(part.text, bold ? TextFont::kSansBold : TextFont::kSans, g.font_px);
    part.text_width += g.letter_spacing * static_cast<double>(text_utf8count(part.text) - 1);
    part.width = static_cast<int>(std::ceil(part.text_width - 0.005)) + 2 * g.padding;
    return part;
}

// The text of `part` centred at `x`: its shadow (when the style has one)
// and the text, of class `cls` and its shadow `cls`s for dark mode.
std::string _badge_texts(const Part& part, double x, const Geometry& g, const Ink& ink, const char* cls, bool bold) {
    const std::string text = text_xmlescape(part.text);
    // Spacing cannot bring a single character to its measured length (a
    // character the font lacks, drawn narrower by the browser's fallback
    // font): that one is scaled instead.
    const std::string at = "x=\"" + _badge_number(x) + "\" textLength=\"" + _badge_number(part.text_width) + "\"" +
                           (text_utf8count(part.text) == 1 ? " lengthAdjust=\"spacingAndGlyphs\"" : "") +
                           (bold ? " font-weight=\"bold\"" : "");
    std::string out;
    if (g.shadow) {
        out += "<text aria-hidden=\"true\" class=\"" + std::string(cls) + "s\" " + at + " y=\"" +
               _badge_number(g.baseline + 1) + "\" fill=\"" + ink.shadow + "\" fill-opacity=\".3\">" + text + "</text>";
    }
    out += "<text class=\"" + std::string(cls) + "t\" " + at + " y=\"" + _badge_number(g.baseline) + "\" fill=\"" +
           ink.text + "\">" + text + "</text>";
    return out;
}

// The rules that give a dark page the darker colours of both parts, and the
// text that goes with each.
std::string _badge_darkstyle(const BadgeLook& look) {
    const std::string label = _badge_dark(look.label_color), value = _badge_dark(look.color);
    const Ink label_ink = _badge_ink(label), value_ink = _badge_ink(value);
    return std::string("<style>@media (prefers-color-scheme:dark){") + ".l{fill:" + label + "}.v{fill:" + value +
           "}.lt{fill:" + label_ink.text + "}.ls{fill:" + label_ink.shadow + "}.vt{fill:" + value_ink.text +
           "}.vs{fill:" + value_ink.shadow + "}}</style>";
}

}  // namespace

std::optional<BadgeStyle> badge_style(std::string_view name) {
    if (name == "flat") return BadgeStyle::kFlat;
    if (name == "flat-square") return BadgeStyle::kFlatSquare;
    if (name == "plastic") return BadgeStyle::kPlastic;
    if (name == "for-the-badge") return BadgeStyle::kForTheBadge;
    return std::nullopt;
}

std::optional<std::string> badge_color(std::string_view text) {
    for (const NamedColor& named : kNamedColors) {
        if (text == named.name) return named.rgb;
    }
    if (!text.empty() && text[0] == '#') text.remove_prefix(1);
    if ((text.size() != 3 && text.size() != 6) || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    std::string rgb = "#";
    for (const char c : text) {
        const char lower = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        rgb.append(text.size() == 3 ? 2 : 1, lower);
    }
    return rgb;
}

std::string badge_svg(std::string_view label_text, std::string_view value_text, const BadgeLook& look) {
    const Geometry& g = _badge_geometry(look.style);
    const Part label = _badge_part(label_text, g, false);
    const Part value = _badge_part(value_text, g, g.bold_value);
    const int width = label.width + value.width, height = g.height;
    const std::string w = std::to_string(width), h = std::to_string(height);
    const std::string name = text_xmlescape(label.text.empty() ? value.text : label.text + ": " + value.text);

    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h +
                      "\" role=\"img\" aria-label=\"" + name + "\"><title>" + name + "</title>";
    if (look.dark_auto) svg += _badge_darkstyle(look);
    if (g.gradient) svg += std::string("<linearGradient id=\"s\" x2=\"0\" y2=\"100%\">") + g.gradient + "</linearGradient>";
    if (g.radius > 0) {
        svg += "<clipPath id=\"r\"><rect width=\"" + w + "\" height=\"" + h + "\" rx=\"" + std::to_string(g.radius) +
               "\" fill=\"#fff\"/></clipPath><g clip-path=\"url(#r)\">";
    } else {
        svg += "<g>";
    }
    if (label.width > 0) {
        svg += "<rect class=\"l\" width=\"" + std::to_string(label.width) + "\" height=\"" + h + "\" fill=\"" +
               look.label_color + "\"/>";
    }
    svg += "<rect class=\"v\" x=\"" + std::to_string(label.width) + "\" width=\"" + std::to_string(value.width) +
           "\" height=\"" + h + "\" fill=\"" + look.color + "\"/>";
    if (g.gradient) svg += "<rect width=\"" + w + "\" height=\"" + h + "\" fill=\"url(#s)\"/>";
    // Kerning and ligatures would make a browser's text narrower than the
    // advances it is measured by.
    svg += "</g><g text-anchor=\"middle\" font-family=\"DejaVu Sans,Verdana,Geneva,sans-serif\" font-size=\"" +
           _badge_number(g.font_px) +
           "\" text-rendering=\"geometricPrecision\" style=\"font-kerning:none;font-variant-ligatures:none\">";
    if (label.width > 0) svg += _badge_texts(label, label.width / 2.0, g, _badge_ink(look.label_color), "l", false);
    svg += _badge_texts(value, label.width + value.width / 2.0, g, _badge_ink(look.color), "v", g.bold_value);
    svg += "</g></svg>\n";
    return svg;
}

}  // namespace vorn
