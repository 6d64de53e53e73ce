// SPDX-License-Identifier: GPL-3.0-or-later
#include "vorncounter/formats.h"

#include <algorithm>
#include <iterator>

#include "base/text.h"
#include "base/util.h"

namespace vorn {

namespace {

bool _format_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool _format_startswith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool _format_endswith(const std::string& text, const char* suffix) {
    const std::string end = suffix;
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Messages of requests that are wrong in themselves, by their beginning.
constexpr const char* kBadRequests[] = {
    "VornCounter-",      "Invalid counter name", "DB file path too long", "Counter name too long",
    "Unknown mode",      "Unknown style",        "Unknown when",          "Unknown format",
    "Invalid digit set", "Invalid cntlen",       "Invalid scale",         "ago out of range",
    "Invalid count (",
    "Request body too large", "Request body incomplete",
    "Invalid color",     "Invalid labelColor",   "Unknown badge style",   "Invalid abbr",
    "Invalid darkmode",  "Label too long",
};

// The SVG document of one GIF picture drawn in a place of `width` x
// `height` user units, shown `scale` times that size; `style` is the
// image's style attribute, none when empty. With `dark`, a second picture
// takes the first one's place on a dark page.
std::string _format_svg(const std::string& gif, int width, int height, long scale, const std::string& label,
                        const char* style, const std::string& dark) {
    const std::string name = text_xmlescape(label);
    const std::string w = std::to_string(width), h = std::to_string(height);
    const auto image = [&](const char* cls, const std::string& picture) {
        return std::string("<image") + cls + " width=\"" + w + "\" height=\"" + h + "\"" +
               (*style ? std::string(" style=\"") + style + "\"" : std::string()) + " href=\"data:image/gif;base64," +
               text_base64(picture) + "\"/>";
    };
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width * scale) +
                      "\" height=\"" + std::to_string(height * scale) + "\" viewBox=\"0 0 " + w + " " + h +
                      "\" role=\"img\" aria-label=\"" + name + "\"><title>" + name + "</title>";
    if (dark.empty()) return svg + image("", gif) + "</svg>\n";
    return svg + "<style>.d{display:none}@media (prefers-color-scheme:dark){.l{display:none}.d{display:inline}}</style>" +
           image(" class=\"l\"", gif) + image(" class=\"d\"", dark) + "</svg>\n";
}

constexpr char kSquarePixels[] = "image-rendering:pixelated";

}  // namespace

std::string format_svg(const std::string& gif, int width, int height, long scale, const std::string& label,
                       const std::string& dark) {
    return _format_svg(gif, width, height, scale, label, kSquarePixels, dark);
}

std::string format_svgtwin(const std::string& twin, int width, int height, long scale, const std::string& label,
                           const std::string& dark_twin) {
    // A browser draws an SVG image in a document of its own, where a
    // resolution media query sees one device pixel per CSS pixel whatever
    // the screen: a choice between the picture and its twin inside the
    // document would always fall on the picture. The twin alone is drawn
    // into the rasterization the screen asks for instead. At scale 1 the
    // browser's own scaling reduces it smoothly on an ordinary screen (a
    // reduction by nearest pixel would drop every other row and column);
    // enlarged, its pixels stay square.
    return _format_svg(twin, width, height, scale, label, scale == 1 ? "" : kSquarePixels, dark_twin);
}

std::string format_number(const std::string& count) {
    if (!_format_digits(count)) return std::to_string(util_tolong(count));
    const std::size_t first = count.find_first_not_of('0');
    return first == std::string::npos ? "0" : count.substr(first);
}

std::string format_grouped(const std::string& number) {
    const std::size_t digits = number.find_first_of("0123456789");
    if (digits == std::string::npos) return number;
    std::string out = number.substr(0, digits);
    for (std::size_t i = digits; i < number.size(); ++i) {
        if (i > digits && (number.size() - i) % 3 == 0) out += ',';
        out += number[i];
    }
    return out;
}

std::string format_abbr(const std::string& number) {
    static constexpr const char* kUnits[] = {"k", "M", "B", "T", "Qa", "Qi", "Sx", "Sp", "Oc", "No", "Dc"};
    const std::size_t digits = number.find_first_of("0123456789");
    if (digits == std::string::npos) return number;
    const std::size_t length = number.size() - digits;
    const std::size_t unit = (length - 1) / 3;
    if (unit == 0) return number;
    if (unit > std::size(kUnits)) return format_grouped(number);
    const std::size_t whole = length - 3 * unit;
    std::string out = number.substr(0, digits + whole);
    if (whole < 3) {
        out += '.';
        out += number[digits + whole];
    }
    return out + kUnits[unit - 1];
}

std::string format_shown(const std::string& cells) {
    std::string text;
    for (char c : cells) {
        switch (c) {
            case 'h': text += '/'; break;
            case 'm': text += '-'; break;
            case 'r': text += ':'; break;
            case 'a':
            case 'p':
                if (!text.empty()) text += ' ';
                text += c == 'a' ? "AM" : "PM";
                break;
            default: text += c;
        }
    }
    return text;
}

std::string format_chartlabel(const ChartFigures& chart, bool abbr) {
    const auto number = [abbr](const std::string& count) {
        return abbr ? format_abbr(format_number(count)) : format_number(count);
    };
    return chart.title + ": " + number(chart.this_) + " visits; total " + number(chart.total);
}

std::string format_jsoncount(const std::string& name, const std::string& count,
                             const std::optional<Uncounted>& uncounted) {
    JsonWriter json;
    json.begin_object().key("name").string(name).key("count").digits(format_number(count));
    json.key("counted").boolean(!uncounted);
    if (uncounted) json.key("reason").string(rules_reason(*uncounted));
    json.end_object();
    return json.text() + "\n";
}

std::string format_jsontext(const std::string& text) {
    JsonWriter json;
    json.begin_object().key("text").string(text).end_object();
    return json.text() + "\n";
}

std::string format_jsonchart(const std::string& name, const std::string& when, const ChartFigures& chart) {
    JsonWriter json;
    json.begin_object().key("name").string(name).key("when").string(when).key("period").string(chart.period);
    json.key("title").string(chart.title).key("total").digits(format_number(chart.total));
    json.key("this").digits(format_number(chart.this_));
    json.key("max").number(chart.bars[chart.max].value).key("min").number(chart.bars[chart.min].value);
    json.key("average").number(chart.average).key("bars").begin_array();
    for (const ChartBar& bar : chart.bars) {
        json.begin_object().key("label").string(bar.label).key("count").number(bar.value).end_object();
    }
    json.end_array().end_object();
    return json.text() + "\n";
}

std::string format_jsonerror(const std::string& message) {
    JsonWriter json;
    json.begin_object().key("error").string(message).end_object();
    return json.text() + "\n";
}

std::string format_shields(const ShieldsBadge& badge) {
    const auto colour = [](const std::string& text) { return text.rfind('#', 0) == 0 ? text.substr(1) : text; };
    JsonWriter json;
    json.begin_object().key("schemaVersion").number(1).key("label").string(badge.label);
    json.key("message").string(badge.message).key("color").string(colour(badge.color));
    json.key("labelColor").string(colour(badge.label_color)).key("style").string(badge.style);
    if (badge.error) json.key("isError").boolean(true);
    json.end_object();
    return json.text() + "\n";
}

std::string format_status(const std::string& message) {
    if ((_format_startswith(message, "DB file (") && _format_endswith(message, ") not found")) ||
        (_format_startswith(message, "Counter (") && message.find(") not found in redis (") != std::string::npos)) {
        return "Status: 404 Not Found\n";
    }
    for (const char* prefix : kBadRequests) {
        if (_format_startswith(message, prefix)) return "Status: 400 Bad Request\n";
    }
    if (_format_startswith(message, "DB open error. Time out.") ||
        _format_startswith(message, "Visits file error. Time out.") || _format_startswith(message, "Redis error.")) {
        return "Status: 503 Service Unavailable\n";
    }
    return "Status: 500 Internal Server Error\n";
}

}  // namespace vorn
