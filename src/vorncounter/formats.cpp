// SPDX-License-Identifier: GPL-3.0-or-later
#include "vorncounter/formats.h"

#include <algorithm>

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
    "Request body too large", "Request body incomplete",
};

// The SVG document of one GIF picture drawn in a place of `width` x
// `height` user units, shown `scale` times that size; `style` is the
// image's style attribute, none when empty.
std::string _format_svg(const std::string& gif, int width, int height, long scale, const std::string& label,
                        const char* style) {
    const std::string name = text_xmlescape(label);
    const std::string w = std::to_string(width), h = std::to_string(height);
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width * scale) + "\" height=\"" +
           std::to_string(height * scale) + "\" viewBox=\"0 0 " + w + " " + h + "\" role=\"img\" aria-label=\"" +
           name + "\"><title>" + name + "</title><image width=\"" + w + "\" height=\"" + h + "\"" +
           (*style ? std::string(" style=\"") + style + "\"" : std::string()) + " href=\"data:image/gif;base64," +
           text_base64(gif) + "\"/></svg>\n";
}

constexpr char kSquarePixels[] = "image-rendering:pixelated";

}  // namespace

std::string format_svg(const std::string& gif, int width, int height, long scale, const std::string& label) {
    return _format_svg(gif, width, height, scale, label, kSquarePixels);
}

std::string format_svgtwin(const std::string& twin, int width, int height, long scale, const std::string& label) {
    // A browser draws an SVG image in a document of its own, where a
    // resolution media query sees one device pixel per CSS pixel whatever
    // the screen: a choice between the picture and its twin inside the
    // document would always fall on the picture. The twin alone is drawn
    // into the rasterization the screen asks for instead. At scale 1 the
    // browser's own scaling reduces it smoothly on an ordinary screen (a
    // reduction by nearest pixel would drop every other row and column);
    // enlarged, its pixels stay square.
    return _format_svg(twin, width, height, scale, label, scale == 1 ? "" : kSquarePixels);
}

std::string format_number(const std::string& count) {
    if (!_format_digits(count)) return std::to_string(util_tolong(count));
    const std::size_t first = count.find_first_not_of('0');
    return first == std::string::npos ? "0" : count.substr(first);
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

std::string format_chartlabel(const ChartFigures& chart) {
    return chart.title + ": " + format_number(chart.this_) + " visits; total " + format_number(chart.total);
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
