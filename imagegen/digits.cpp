// SPDX-License-Identifier: GPL-3.0-or-later
#include "digits.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include "cell.h"
#include "lit.h"
#include "printed.h"
#include "raster.h"
#include "segments.h"

namespace vorn::imagegen {

namespace {

// ---------------------------------------------------------------------------
// "d": an odometer. Light figures on dark drums that curve away at the top
// and bottom; each drum has a dark groove on its left and a faint rim on
// its right, so a row reads as a bank of wheels.
namespace odometer {

constexpr int kHeight = 26;

int width(char c) {
    if (is_digit(c)) return 18;
    if (c == 'a' || c == 'p') return 22;
    return c == 'r' ? 8 : 11;
}

// Light falling on the drum at row y of a picture `height` rows high: 1 in
// the middle, darker towards the edges.
float drum_light(int y, int height) {
    double t = (y + 0.5 - height / 2.0) / (height / 2.0);
    return static_cast<float>(std::pow(std::cos(t * 1.25), 1.4));
}

Canvas paint(char c, int zoom) {
    static const FontLook look{font_path("DejaVuSansCondensed-Bold.ttf"), 21.5, 11.0, kHeight / 2.0, "/", "-", ":"};
    int dw = width(c), w = dw * zoom, h = kHeight * zoom;
    Canvas cell(w, h, {});
    for (int y = 0; y < h; ++y) {
        float light = drum_light(y, h);
        for (int x = 0; x < w; ++x) cell.set(x, y, scale(rgb(0x4a4a48), 0.12f + 0.88f * light));
    }
    cell.paint_with(font_symbol(look, c, w, h, zoom),
                    [h](int, int y) { return scale(rgb(0xfaf6ec), 0.45f + 0.55f * drum_light(y, h)); });
    fill_design_rect(cell, zoom, 0, 0, 0, kHeight - 1, rgb(0x000000));
    blend_design_rect(cell, zoom, 1, 0, 1, kHeight - 1, rgb(0x000000), 0.55f);
    each_pixel(zoom, dw - 1, 0, dw - 1, kHeight - 1,
               [&](int x, int y) { cell.set(x, y, scale(rgb(0x5c5c58), 0.2f + 0.8f * drum_light(y, h))); });
    rim_rows(cell, zoom, rgb(0x000000), rgb(0x000000));
    return cell;
}

}  // namespace odometer

// ---------------------------------------------------------------------------
// "led": red seven-segment figures glowing on a black panel, unlit segments
// faintly visible. Each cell is one module with a faint edge.
namespace led {

constexpr int kHeight = 28;
constexpr Rgb kPanelTop{22, 18, 18}, kPanelBottom{9, 7, 7};
constexpr std::uint32_t kLit = 0xff4526, kCore = 0xffb090, kGlow = 0xff2200, kUnlit = 0x3a1a15;

int width(char c) {
    if (is_digit(c)) return 17;
    if (c == 'a' || c == 'p') return 19;
    return c == 'h' ? 10 : 7;
}

// Lit and unlit shapes of one picture.
struct Shapes {
    Mask lit, unlit;
};

// The shapes of picture c in a picture `w` pixels wide, `zoom` times the
// design size.
Shapes shapes(char c, int w, int zoom) {
    int h = kHeight * zoom;
    Mask lit(w * kSuper, h * kSuper), unlit(w * kSuper, h * kSuper);
    const double z = zoom;
    // The slant is a ratio, the same at every size.
    const SegmentFrame digit{3.6 * z, 13.4 * z, 4.0 * z, 24.0 * z, 2.4 * z, 0.3 * z, 0.06};
    if (is_digit(c)) {
        for (int s = 0; s < 7; ++s) segment((kSegmentsOf[c - '0'] >> s) & 1 ? lit : unlit, digit, s);
    } else if (c == 'h') {
        horizontal_segment(lit, {1.0 * z, 9.0 * z, digit.top, digit.bottom, digit.thick, digit.gap, digit.slant},
                   (digit.top + digit.bottom) / 2);
    } else if (c == 'm') {
        fill_ellipse(lit, 3.5 * z, digit.bottom - 1.2 * z, 1.25 * z, 1.25 * z);
    } else if (c == 'r') {
        fill_ellipse(lit, 3.8 * z, 10.0 * z, 1.3 * z, 1.3 * z);
        fill_ellipse(lit, 3.2 * z, 18.0 * z, 1.3 * z, 1.3 * z);
    } else {
        // Both indicators are printed; the one of the moment is lit.
        Ink am = render_text(font_path("DejaVuSansCondensed-Bold.ttf"), 9.5 * z, "AM");
        Ink pm = render_text(font_path("DejaVuSansCondensed-Bold.ttf"), 9.5 * z, "PM");
        stamp(c == 'a' ? lit : unlit, am, (w - am.width()) / 2, 6.0 * z);
        stamp(c == 'p' ? lit : unlit, pm, (w - pm.width()) / 2, 15.0 * z);
    }
    return {downsample(lit), downsample(unlit)};
}

Canvas paint(char c, int zoom) {
    int dw = width(c), w = dw * zoom, h = kHeight * zoom;
    Canvas cell(w, h, {});
    cell.vgradient(0, 0, w - 1, h - 1, kPanelTop, kPanelBottom);
    Shapes s = shapes(c, w, zoom);
    cell.paint(s.unlit, rgb(kUnlit));
    cell.paint(blur(s.lit, 1.4f * static_cast<float>(zoom)), rgb(kGlow), 0.75f);
    cell.paint(s.lit, rgb(kLit));
    // A hot core where the segment is fully lit.
    Mask core = s.lit;
    for (float& a : core.a) a = a > 0.95f ? 0.35f : 0.0f;
    cell.paint(core, rgb(kCore));
    blend_design_rect(cell, zoom, 0, 0, 0, kHeight - 1, rgb(0x3a3030), 0.5f);
    fill_design_rect(cell, zoom, dw - 1, 0, dw - 1, kHeight - 1, rgb(0x000000));
    rim_rows(cell, zoom, rgb(0x000000), rgb(0x262020));
    return cell;
}

}  // namespace led

// ---------------------------------------------------------------------------
// "flip": light figures on dark split-flap cards in a black housing; each
// card shows the split across its middle with the hinge notches.
namespace flip {

constexpr int kHeight = 28;
constexpr int kSplitRow = 13;
constexpr Rgb kHousing{16, 16, 16};

int width(char c) {
    if (is_digit(c)) return 19;
    if (c == 'a' || c == 'p') return 21;
    return c == 'r' ? 8 : 11;
}

// Shade of the card at picture row y, `zoom` times the design size: each
// flap shaded from its top to its bottom, sampled at the pixel's centre in
// design rows so the finer picture shades the same way.
Rgb card_shade(int y, int zoom) {
    double row = (y + 0.5) / zoom - 0.5;
    auto along = [](float t) { return std::clamp(t, 0.0f, 1.0f); };
    return y / zoom <= kSplitRow
               ? mix(rgb(0x424242), rgb(0x363636), along(static_cast<float>(row) / kSplitRow))
               : mix(rgb(0x313131), rgb(0x262626), along(static_cast<float>(row - kSplitRow) / (kHeight - kSplitRow)));
}

Canvas paint(char c, int zoom) {
    static const FontLook look{font_path("DejaVuSansCondensed-Bold.ttf"), 21.5, 10.5, kSplitRow + 0.5, "/", "-", ":"};
    int dw = width(c), w = dw * zoom, h = kHeight * zoom;
    Canvas cell(w, h, kHousing);
    // Separators and the AM/PM label are printed on the housing between
    // the cards, where no split runs through them.
    if (!is_digit(c)) {
        cell.vgradient(0, 0, w - 1, h - 1, rgb(0x161616), rgb(0x0c0c0c));
        cell.paint(font_symbol(look, c, w, h, zoom), rgb(0xd8d8d2));
        return cell;
    }
    const double z = zoom;
    Mask shape(w * kSuper, h * kSuper);
    fill_rounded_rect(shape, 1.0 * z, 1.0 * z, w - 1.0 * z, h - 1.0 * z, 2.2 * z);
    cell.paint_with(downsample(shape), [zoom](int, int y) { return card_shade(y, zoom); });
    cell.paint_with(font_symbol(look, c, w, h, zoom),
                    [zoom](int, int y) { return y / zoom <= kSplitRow ? rgb(0xf4f4ee) : rgb(0xdadad3); });
    // The split between the two flaps, a faint lip below it and the hinges.
    blend_design_rect(cell, zoom, 1, kSplitRow + 1, dw - 2, kSplitRow + 1, rgb(0x050505), 0.85f);
    blend_design_rect(cell, zoom, 1, kSplitRow + 2, dw - 2, kSplitRow + 2, rgb(0x505050), 0.25f);
    fill_design_rect(cell, zoom, 0, kSplitRow, 1, kSplitRow + 2, kHousing);
    fill_design_rect(cell, zoom, dw - 2, kSplitRow, dw - 1, kSplitRow + 2, kHousing);
    // The top edge of the card catches the light.
    blend_design_rect(cell, zoom, 2, 1, dw - 3, 1, rgb(0x6a6a6a), 0.6f);
    return cell;
}

}  // namespace flip

// ---------------------------------------------------------------------------
// "paper": navy figures on light tiles with a soft grey edge, for light
// pages; "paper-dark", its twin for dark pages, light figures on dark
// tiles of the same sizes, lit the same way (highlight left and top,
// shadow right and bottom).
namespace paper {

constexpr int kHeight = 24;

int width(char c) {
    if (is_digit(c)) return 16;
    if (c == 'a' || c == 'p') return 21;
    return c == 'r' ? 7 : 10;
}

struct Colours {
    std::uint32_t tile_top, tile_bottom, figure, left_edge, right_edge, top_rim, bottom_rim;
};
constexpr Colours kLight{0xffffff, 0xe9edf1, 0x1d3557, 0xd9dfe6, 0xa9b3be, 0xc3cbd4, 0x94a0ad};
// Figures of a soft blue-white, not pure white, so they do not glare on a
// dark page.
constexpr Colours kDark{0x29313b, 0x1e242c, 0xc9d5e3, 0x38424e, 0x12161b, 0x323b46, 0x0c0f13};

Canvas paint(char c, int zoom, const Colours& k) {
    static const FontLook look{font_path("DejaVuSans-Bold.ttf"), 19.0, 10.0, kHeight / 2.0, "/", "-", ":"};
    int dw = width(c), w = dw * zoom, h = kHeight * zoom;
    Canvas cell(w, h, {});
    cell.vgradient(0, 0, w - 1, h - 1, rgb(k.tile_top), rgb(k.tile_bottom));
    cell.paint(font_symbol(look, c, w, h, zoom), rgb(k.figure));
    fill_design_rect(cell, zoom, 0, 0, 0, kHeight - 1, rgb(k.left_edge));
    fill_design_rect(cell, zoom, dw - 1, 0, dw - 1, kHeight - 1, rgb(k.right_edge));
    rim_rows(cell, zoom, rgb(k.top_rim), rgb(k.bottom_rim));
    return cell;
}

Canvas paint_light(char c, int zoom) { return paint(c, zoom, kLight); }
Canvas paint_dark(char c, int zoom) { return paint(c, zoom, kDark); }

}  // namespace paper

using Painter = std::function<Canvas(char, int zoom)>;

struct SetDesign {
    const char* name;
    Painter paint;
    // The set's twin for dark pages, drawn to the same layout; none when
    // empty.
    Painter paint_dark = nullptr;
};

const std::vector<SetDesign>& designs() {
    static const std::vector<SetDesign> all{
        {"d", odometer::paint},
        {"led", led::paint},
        {"flip", flip::paint},
        {"paper", paper::paint_light, paper::paint_dark},
        {"plain", paint_plain, paint_plain_dark},
        {"ink", paint_ink},
        {"lcd", paint_lcd},
        {"chalk", paint_chalk},
        {"nixie", paint_nixie},
        {"neon", paint_neon},
        {"terminal", paint_terminal},
    };
    return all;
}

// Draws the fifteen pictures of one set and writes them into `dir` with
// one palette for all of them.
void write_set(const std::filesystem::path& dir, const std::function<Canvas(char)>& paint) {
    std::vector<Canvas> cells;
    for (const char* c = kSetPictures; *c; ++c) cells.push_back(paint(*c));
    std::vector<const Canvas*> all;
    for (const Canvas& c : cells) all.push_back(&c);
    Palette palette = quantise(all, kSetColours);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) fail("cannot create " + dir.string() + ": " + ec.message());
    for (size_t i = 0; i < cells.size(); ++i) write_gif(cells[i], palette, dir / (std::string(1, kSetPictures[i]) + ".gif"));
}

}  // namespace

void write_digit_sets(const std::filesystem::path& digits_dir) {
    for (const SetDesign& design : designs())
        for (int zoom : kSetZooms) {
            std::string sharp = zoom > 1 ? '-' + std::to_string(zoom) + 'x' : "";
            write_set(digits_dir / (design.name + sharp), [&](char c) { return design.paint(c, zoom); });
            if (design.paint_dark)
                write_set(digits_dir / (design.name + std::string(kDarkTwin) + sharp),
                          [&](char c) { return design.paint_dark(c, zoom); });
        }
}

}  // namespace vorn::imagegen
