// SPDX-License-Identifier: GPL-3.0-or-later
#include "printed.h"

#include <cstdint>

#include "cell.h"

namespace vorn::imagegen {

namespace {

// ---------------------------------------------------------------------------
// "plain" and "plain-dark": the value part of a flat badge, 20 pixels high
// with 11-pixel DejaVu Sans figures on the badge's baseline, so a counter
// stands level with a badge beside it. Nothing but two flat colours and
// the figures' own edges.
namespace plain {

constexpr int kHeight = 20;

int width(char c) {
    if (is_digit(c)) return 9;
    if (c == 'a' || c == 'p') return 17;
    return c == 'r' ? 4 : 6;
}

struct Colours {
    std::uint32_t ground, figure;
};
constexpr Colours kLight{0x555555, 0xffffff};
// A ground just lighter than a dark page and figures a little short of
// white, which glare on dark pages.
constexpr Colours kDark{0x2d333b, 0xd7dee6};

Canvas paint(char c, int zoom, const Colours& k) {
    static const FontLook look{font_path("DejaVuSans.ttf"), 11.0, 9.5, 10.0, "/", "-", ":"};
    int w = width(c) * zoom, h = kHeight * zoom;
    Canvas cell(w, h, rgb(k.ground));
    cell.paint(crisp(font_symbol(look, c, w, h, zoom, Snap::kDesignPixel)), rgb(k.figure));
    return cell;
}

}  // namespace plain


}  // namespace

Canvas paint_plain(char c, int zoom) { return plain::paint(c, zoom, plain::kLight); }
Canvas paint_plain_dark(char c, int zoom) { return plain::paint(c, zoom, plain::kDark); }

}  // namespace vorn::imagegen
