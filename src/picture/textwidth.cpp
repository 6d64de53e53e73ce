// SPDX-License-Identifier: GPL-3.0-or-later
#include "picture/textwidth.h"

#include <algorithm>
#include <iterator>
#include <span>

#include "base/text.h"
#include "picture/fontwidths.h"

namespace vorn {

namespace {

using fontwidths::FontRun;

constexpr char32_t kReplacement = 0xFFFD;

// Widths of characters outside the font, in ems.
constexpr double kWideEm = 1.0;
constexpr double kFallbackEm = 1.25;

struct Range {
    char32_t first, last;
};

// The East Asian wide and fullwidth blocks: Hangul, CJK, kana, fullwidth forms.
constexpr Range kWide[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF}, {0xA960, 0xA97F}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F},
    {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x20000, 0x3FFFD},
};

// Characters that are laid out with no width of their own.
constexpr Range kInvisible[] = {
    {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x206F}, {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF}, {0xE0000, 0xE0FFF},
};

bool _textwidth_in(std::span<const Range> ranges, char32_t c) {
    return std::any_of(ranges.begin(), ranges.end(), [c](const Range& r) { return c >= r.first && c <= r.last; });
}

// Advance of `c` in ems, or a negative number when the font lacks it.
double _textwidth_advance(std::span<const FontRun> runs, char32_t c) {
    const auto run = std::upper_bound(runs.begin(), runs.end(), c,
                                      [](char32_t value, const FontRun& r) { return value < r.first; });
    if (run == runs.begin() || std::prev(run)->last < c) return -1;
    return static_cast<double>(std::prev(run)->advance) / fontwidths::kUnitsPerEm;
}

}  // namespace

double textwidth_measure(std::string_view text, TextFont font, double px) {
    const std::span<const FontRun> runs =
        font == TextFont::kSans ? std::span<const FontRun>(fontwidths::kSans) : std::span<const FontRun>(fontwidths::kSansBold);
    double ems = 0;
    while (!text.empty()) {
        const std::size_t len = text_utf8length(text);
        const char32_t c = len == 0 ? kReplacement : text_utf8char(text, len);
        text.remove_prefix(len == 0 ? 1 : len);
        if (const double advance = _textwidth_advance(runs, c); advance >= 0) {
            ems += advance;
        } else if (_textwidth_in(kInvisible, c)) {
            continue;
        } else {
            ems += _textwidth_in(kWide, c) ? kWideEm : kFallbackEm;
        }
    }
    return ems * px;
}

}  // namespace vorn
