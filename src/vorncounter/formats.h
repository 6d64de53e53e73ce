// SPDX-License-Identifier: GPL-3.0-or-later
// The answers besides the GIF picture, asked for with the parameter
// "format": "svg", the picture in an SVG document that names what it shows
// (for screen readers, and sharp at any scale), and "json", the figures of
// the picture for a script.
#pragma once

#include <optional>
#include <string>

#include "counting/rules.h"
#include "vorncounter/statistics.h"

namespace vorn {

// The header lines of an SVG answer and of a JSON answer: the no-cache
// lines every answer carries, and for JSON the permission for a script of
// any site to read it.
inline constexpr char kSvgHeader[] =
    "Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nContent-type: image/svg+xml\n\n";
inline constexpr char kJsonHeader[] =
    "Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nAccess-Control-Allow-Origin: *\n"
    "Content-type: application/json\n\n";

// The SVG document of the GIF picture `gif` (`width` x `height` pixels),
// shown `scale` times its size with its pixels kept square, with `label`
// as its title and accessible name.
// With `dark`, a GIF picture of the same size drawn for dark pages, the SVG
// shows that picture instead when the reader's page is dark
// (prefers-color-scheme).
std::string format_svg(const std::string& gif, int width, int height, long scale, const std::string& label,
                       const std::string& dark = "");

// The SVG document of a picture of `width` x `height` pixels that holds
// instead its twin `twin`, the same drawing at twice the resolution (2 *
// `width` x 2 * `height` pixels), in the picture's place: a screen of two
// device pixels per CSS pixel shows each pixel of the twin, an ordinary one
// the twin reduced to the picture's size. Shown `scale` times the
// picture's size; enlarged (scale 2 and more), its pixels stay square.
// `dark_twin` as `dark` of format_svg, at twice the resolution.
std::string format_svgtwin(const std::string& twin, int width, int height, long scale, const std::string& label,
                           const std::string& dark_twin = "");

// A count as a plain number: the digits of a count kept as digits without
// leading zeros, any other text as it is read as a number.
std::string format_number(const std::string& count);

// A count (format_number) in short: as it is under 1000, else in thousands
// (k), millions (M), billions (B), and on (T, Qa, Qi, Sx, Sp, Oc, No, Dc)
// with one decimal under 100 of the unit and none above, rounded down so it
// never shows more than the count: 999, 1.0k, 12.3k, 100k, 1.2M, 3.4B. A
// count past the last unit is grouped (format_grouped).
std::string format_abbr(const std::string& number);

// A count (format_number) with its thousands grouped by commas: 12,345.
std::string format_grouped(const std::string& number);

// The text a date or time picture shows, from the characters of its cells:
// the separators h, m and r as "/", "-" and ":", a and p as "AM" and "PM".
std::string format_shown(const std::string& cells);

// What a chart's SVG answer is named: "2001 statistics: 345 visits; total 12345".
// With `abbr`, the counts in short (format_abbr).
std::string format_chartlabel(const ChartFigures& chart, bool abbr = false);

// The JSON answers: a counter {"name": NAME, "count": N, "counted": true}
// or, when no visit was counted, {..., "counted": false, "reason": WHY}
// (rules_reason); a date or time
// {"text": TEXT}; a chart {"name", "when", "period", "title", "total",
// "this", "max", "min", "average", "bars": [{"label", "count"}, ...]}; a
// failure {"error": MESSAGE}.
std::string format_jsoncount(const std::string& name, const std::string& count,
                             const std::optional<Uncounted>& uncounted);
std::string format_jsontext(const std::string& text);
std::string format_jsonchart(const std::string& name, const std::string& when, const ChartFigures& chart);
std::string format_jsonerror(const std::string& message);

// shields.io's endpoint answer of a badge: {"schemaVersion": 1, "label",
// "message", "color", "labelColor", "style"} and for an error "isError":
// true. The colours are as the request named them, a hex colour without
// its '#'.
struct ShieldsBadge {
    std::string label, message, color, label_color, style;
    bool error = false;
};
std::string format_shields(const ShieldsBadge& badge);

// The status line of a failure's JSON answer, from its message: "Status: 400
// Bad Request" for a request that is wrong in itself, 404 for a counter that
// does not exist, 503 for a counter busy past its wait or a store that
// cannot be reached, 500 for the rest.
std::string format_status(const std::string& message);

}  // namespace vorn
