// SPDX-License-Identifier: GPL-3.0-or-later
// The width a line of text takes when a browser lays it out in DejaVu
// Sans, from the advance widths the build measured in the font
// (imagegen/fontwidths.cpp), so a badge can size its parts to its text
// without a font at run time.
#pragma once

#include <string_view>

namespace vorn {

enum class TextFont { kSans, kSansBold };

// Width in pixels of the UTF-8 text `text` set in `font` at `px` pixels per
// em, each character at its advance width, without kerning or ligatures.
// A byte that starts no valid UTF-8 sequence counts as U+FFFD, the
// character it is shown as. A character outside the font counts as wide as
// the fonts a browser falls back on draw it, or wider, never narrower:
// one em for the wide East Asian scripts, 1.25 em (an emoji's width) for
// anything else; invisible format characters count nothing.
double textwidth_measure(std::string_view text, TextFont font, double px);

}  // namespace vorn
