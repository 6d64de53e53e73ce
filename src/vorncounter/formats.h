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
std::string format_svg(const std::string& gif, int width, int height, long scale, const std::string& label);

// The SVG document of a picture of `width` x `height` pixels that holds
// instead its twin `twin`, the same drawing at twice the resolution (2 *
// `width` x 2 * `height` pixels), in the picture's place: a screen of two
// device pixels per CSS pixel shows each pixel of the twin, an ordinary one
// the twin reduced to the picture's size. Shown `scale` times the
// picture's size; enlarged (scale 2 and more), its pixels stay square.
std::string format_svgtwin(const std::string& twin, int width, int height, long scale, const std::string& label);

// A count as a plain number: the digits of a count kept as digits without
// leading zeros, any other text as it is read as a number.
std::string format_number(const std::string& count);

// The text a date or time picture shows, from the characters of its cells:
// the separators h, m and r as "/", "-" and ":", a and p as "AM" and "PM".
std::string format_shown(const std::string& cells);

// What a chart's SVG answer is named: "2001 statistics: 345 visits; total 12345".
std::string format_chartlabel(const ChartFigures& chart);

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

// The status line of a failure's JSON answer, from its message: "Status: 400
// Bad Request" for a request that is wrong in itself, 404 for a counter that
// does not exist, 503 for a counter busy past its wait or a store that
// cannot be reached, 500 for the rest.
std::string format_status(const std::string& message);

}  // namespace vorn
