// SPDX-License-Identifier: GPL-3.0-or-later
// A badge: a grey label and a coloured value side by side, drawn as SVG
// vector text in the styles README badges share (flat, flat-square,
// plastic, for-the-badge). Each part is exactly as wide as its text
// measured in DejaVu Sans (picture/textwidth.h) plus its padding, and each
// text carries its measured length, so a browser with another font still
// fits the text to its part.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorn {

enum class BadgeStyle { kFlat, kFlatSquare, kPlastic, kForTheBadge };

// The style named "flat", "flat-square", "plastic" or "for-the-badge".
std::optional<BadgeStyle> badge_style(std::string_view name);

// "#rrggbb" of a colour named as README badges name them (brightgreen,
// green, yellowgreen, yellow, orange, red, blue, lightgrey, grey, and the
// other spellings gray and lightgray) or given in hex as RGB or RRGGBB,
// with or without a leading '#'; none for anything else.
std::optional<std::string> badge_color(std::string_view text);

// The colour names badge_color knows, for a message.
inline constexpr char kBadgeColorNames[] = "brightgreen, green, yellowgreen, yellow, orange, red, blue, lightgrey, grey";

// The colours a badge has when none is asked for, and an error's value.
inline constexpr char kBadgeLabelColor[] = "#555555";
inline constexpr char kBadgeValueColor[] = "#007ec6";
inline constexpr char kBadgeErrorColor[] = "#e05d44";

struct BadgeLook {
    BadgeStyle style = BadgeStyle::kFlat;
    std::string label_color = kBadgeLabelColor;  // "#rrggbb" (badge_color)
    std::string color = kBadgeValueColor;        // "#rrggbb"
    // Darker colours, inside the SVG, for a reader whose page is dark
    // (prefers-color-scheme).
    bool dark_auto = false;
};

// The SVG document of the badge "label: value". An empty label gives the
// value alone. Tabs and line breaks count as spaces and runs of spaces as
// one, as SVG text shows them; anything XML cannot hold is shown as U+FFFD.
std::string badge_svg(std::string_view label, std::string_view value, const BadgeLook& look);

}  // namespace vorn
