// SPDX-License-Identifier: GPL-3.0-or-later
#include "printed.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "cell.h"
#include "segments.h"

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

// ---------------------------------------------------------------------------
// "ink": a strip of cream paper with a faint fibre texture and darker
// edges; the serif figures in blue-black ink that has spread a little into
// the paper.
namespace ink {

constexpr int kHeight = 26;

int width(char c) {
    if (is_digit(c)) return 15;
    if (c == 'a' || c == 'p') return 22;
    return c == 'r' ? 7 : 10;
}

Canvas paint(char c, int zoom) {
    static const FontLook look{font_path("DejaVuSerif.ttf"), 21.0, 11.0, kHeight / 2.0, "/", "-", ":"};
    int w = width(c) * zoom, h = kHeight * zoom;
    const auto seed = static_cast<std::uint32_t>(static_cast<unsigned char>(c));
    const double dw = width(c);
    Canvas cell(w, h, {});
    shade_design(cell, zoom, [seed, dw](double x, double y) {
        float fibres = 0.6f * value_noise(x / 2.5, y / 2.5, seed) + 0.4f * value_noise(x * 0.9, y * 1.8, seed + 1);
        return mix(rgb(0xf8f2e1), rgb(0xe8dec4), 0.5f + (fibres - 0.5f) * edge_fade(x, dw, 2.0));
    });
    Mask figure = font_symbol(look, c, w, h, zoom);
    cell.paint(blur(figure, 0.6f * static_cast<float>(zoom)), rgb(0x4a4e6a), 0.3f);
    cell.paint(figure, rgb(0x1b2040));
    rim_rows(cell, zoom, rgb(0xd6c9a6), rgb(0xbfae84));
    return cell;
}

}  // namespace ink

// ---------------------------------------------------------------------------
// "lcd": a reflective liquid crystal panel behind a dark bezel. The lit
// segments are dark and cast a faint shadow onto the reflector below the
// crystal; unlit segments show as a slight tint.
namespace lcd {

constexpr int kHeight = 28;
constexpr std::uint32_t kGlassTop = 0xc9d1ae, kGlassBottom = 0xb4be97, kSegment = 0x20261a, kShadow = 0x6f7a58;

int width(char c) {
    if (is_digit(c)) return 16;
    if (c == 'a' || c == 'p') return 18;
    return c == 'r' ? 6 : 9;
}

// Dark and unlit shapes of one picture, on the fine grid.
struct Shapes {
    Mask dark, unlit;
};

Shapes shapes(char c, int w, int zoom) {
    int h = kHeight * zoom;
    Mask dark(w * kSuper, h * kSuper), unlit(w * kSuper, h * kSuper);
    const double z = zoom;
    // The slant is a ratio, the same at every size.
    const SegmentFrame digit{3.0 * z, 12.6 * z, 5.0 * z, 23.0 * z, 2.0 * z, 0.35 * z, 0.05};
    const double middle = (digit.top + digit.bottom) / 2;
    if (is_digit(c)) {
        for (int s = 0; s < 7; ++s) segment((kSegmentsOf[c - '0'] >> s) & 1 ? dark : unlit, digit, s);
    } else if (c == 'h') {
        fill_polygon(dark, {{1.6 * z, digit.bottom}, {3.4 * z, digit.bottom}, {7.4 * z, digit.top}, {5.6 * z, digit.top}});
    } else if (c == 'm') {
        horizontal_segment(dark, {0.8 * z, 8.2 * z, digit.top, digit.bottom, digit.thick, 0.0, digit.slant}, middle);
    } else if (c == 'r') {
        fill_rounded_rect(dark, 2.3 * z, 9.2 * z, 4.3 * z, 11.2 * z, 0.4 * z);
        fill_rounded_rect(dark, 1.9 * z, 16.8 * z, 3.9 * z, 18.8 * z, 0.4 * z);
    } else {
        // Both indicators are printed; the one of the moment is dark.
        Ink am = render_text(font_path("DejaVuSans-Bold.ttf"), 9.0 * z, "AM");
        Ink pm = render_text(font_path("DejaVuSans-Bold.ttf"), 9.0 * z, "PM");
        stamp(c == 'a' ? dark : unlit, am, (w - am.width()) / 2, 6.5 * z);
        stamp(c == 'p' ? dark : unlit, pm, (w - pm.width()) / 2, 15.5 * z);
    }
    return {downsample(dark), downsample(unlit)};
}

Canvas paint(char c, int zoom) {
    int dw = width(c), w = dw * zoom, h = kHeight * zoom;
    Canvas cell(w, h, {});
    cell.vgradient(0, 0, w - 1, h - 1, rgb(kGlassTop), rgb(kGlassBottom));
    Shapes s = shapes(c, w, zoom);
    cell.paint(s.unlit, rgb(kSegment), 0.07f);
    cell.paint(s.dark, rgb(kShadow), 0.3f, zoom, zoom);
    cell.paint(s.dark, rgb(kSegment), 0.92f);
    // The bezel above and below, with the shadow it casts on the crystal.
    fill_design_rect(cell, zoom, 0, 0, dw - 1, 1, rgb(0x33362f));
    blend_design_rect(cell, zoom, 0, 2, dw - 1, 2, rgb(0x33362f), 0.35f);
    fill_design_rect(cell, zoom, 0, kHeight - 2, dw - 1, kHeight - 1, rgb(0x3d4038));
    blend_design_rect(cell, zoom, 0, kHeight - 2, dw - 1, kHeight - 2, rgb(0x6a6e60), 0.5f);
    return cell;
}

}  // namespace lcd

// ---------------------------------------------------------------------------
// "chalk": figures in chalk on a slate board, their strokes grainy where
// the chalk skipped over the slate, with a haze of dust around them; the
// board's wooden frame runs above and below.
namespace chalk {

constexpr int kHeight = 30;
constexpr int kFrameRows = 2;

int width(char c) {
    if (is_digit(c)) return 17;
    if (c == 'a' || c == 'p') return 23;
    return c == 'r' ? 8 : 11;
}

// The frame's grain runs along it, so it changes only from one design row
// to the next and joins from cell to cell.
Rgb wood(double y) {
    float grain = value_noise(0.5, std::floor(y) * 2.5, 5);
    return mix(rgb(0x6b4321), rgb(0x9c6a3a), grain);
}

Canvas paint(char c, int zoom) {
    static const FontLook look{font_path("DejaVuSans-Bold.ttf"), 21.0, 11.0, kHeight / 2.0, "/", "-", ":"};
    int dw = width(c), w = dw * zoom, h = kHeight * zoom;
    const auto seed = static_cast<std::uint32_t>(static_cast<unsigned char>(c)) * 3;
    Canvas cell(w, h, {});
    shade_design(cell, zoom, [seed, dw](double x, double y) {
        if (y < kFrameRows || y > kHeight - kFrameRows) return wood(y);
        float smudge = value_noise(x / 5, y / 4, seed);
        return mix(rgb(0x27332c), rgb(0x3b4a41), 0.3f + (smudge * smudge - 0.3f) * edge_fade(x, dw, 3.0));
    });
    Mask fine = font_symbol_fine(look, c, w, h, zoom);
    modulate_fine(fine, zoom, [seed](double x, double y) {
        float skips = value_noise(x * 1.3, y * 1.3, seed + 1), grain = value_noise(x * 3.5, y * 3.5, seed + 2);
        return std::clamp(0.25f + 1.1f * skips * (0.55f + 0.45f * grain), 0.0f, 1.0f);
    });
    Mask figure = downsample(fine);
    cell.paint(blur(figure, 1.0f * static_cast<float>(zoom)), rgb(0xd8ddd5), 0.16f);
    cell.paint(figure, rgb(0xf2f1e8), 0.95f);
    // The frame's lit top edge and the shadow it throws on the board.
    blend_design_rect(cell, zoom, 0, 0, dw - 1, 0, rgb(0xc8955c), 0.5f);
    blend_design_rect(cell, zoom, 0, kFrameRows, dw - 1, kFrameRows, rgb(0x0c100d), 0.5f);
    blend_design_rect(cell, zoom, 0, kHeight - 1, dw - 1, kHeight - 1, rgb(0x2a1a0c), 0.5f);
    return cell;
}

}  // namespace chalk

}  // namespace

Canvas paint_plain(char c, int zoom) { return plain::paint(c, zoom, plain::kLight); }
Canvas paint_plain_dark(char c, int zoom) { return plain::paint(c, zoom, plain::kDark); }
Canvas paint_ink(char c, int zoom) { return ink::paint(c, zoom); }
Canvas paint_lcd(char c, int zoom) { return lcd::paint(c, zoom); }
Canvas paint_chalk(char c, int zoom) { return chalk::paint(c, zoom); }

}  // namespace vorn::imagegen
