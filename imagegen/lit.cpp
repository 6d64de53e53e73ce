// SPDX-License-Identifier: GPL-3.0-or-later
#include "lit.h"

#include <algorithm>
#include <cstdint>

#include "cell.h"

namespace vorn::imagegen {

namespace {

float zoomed(double design_length, int zoom) { return static_cast<float>(design_length * zoom); }

// The part of a mask at least `threshold` covered, at `strength`: the
// hottest middle of a glowing stroke.
Mask hottest(Mask m, float threshold, float strength) {
    for (float& a : m.a) a = a >= threshold ? strength : 0.0f;
    return m;
}

// ---------------------------------------------------------------------------
// "nixie": each figure in its own tube of dark glass on a black panel. The
// lit numeral is a thin wire glowing orange with a hot core; the other nine
// numerals of the stack behind it show faintly, and a diamond mesh in front
// crosses it all. Separators and AM/PM glow on the panel between the tubes,
// the colon as two neon bulbs.
namespace nixie {

constexpr int kHeight = 32;
constexpr std::uint32_t kPanel = 0x0a0806, kGlassTop = 0x1e1712, kGlassBottom = 0x120d0a;
constexpr std::uint32_t kHalo = 0xff4a00, kWire = 0xff9a3a, kHot = 0xffe4bf, kStack = 0x5a3b26;

int width(char c) {
    if (is_digit(c)) return 18;
    if (c == 'a' || c == 'p') return 22;
    return c == 'r' ? 7 : 11;
}

// Thins the strokes of a fine text mask by 1/`parts` of a design pixel on
// each side: by a half, the digits' strokes become wires about one design
// pixel thick.
Mask wire(const Mask& fine, int zoom, int parts = 2) { return downsample(erode(fine, kSuper / parts * zoom)); }

// The glow of a lit shape: a wide orange halo, the shape and its core.
void glow(Canvas& cell, const Mask& lit, int zoom) {
    cell.paint(blur(lit, zoomed(2.4, zoom)), rgb(kHalo), 0.85f);
    cell.paint(blur(lit, zoomed(0.8, zoom)), rgb(kWire), 0.6f);
    cell.paint(lit, rgb(kWire));
    cell.paint(hottest(lit, 0.8f, 0.55f), rgb(kHot));
}

Canvas paint(char c, int zoom) {
    static const FontLook look{font_path("DejaVuSans.ttf"), 22.0, 10.5, kHeight / 2.0, "/", "-", ":"};
    int dw = width(c), w = dw * zoom, h = kHeight * zoom;
    const double z = zoom;
    Canvas cell(w, h, rgb(kPanel));
    if (!is_digit(c)) {
        Mask lit(w * kSuper, h * kSuper);
        if (c == 'r') {
            fill_ellipse(lit, w / 2.0, 12.5 * z, 1.5 * z, 1.5 * z);
            fill_ellipse(lit, w / 2.0, 19.5 * z, 1.5 * z, 1.5 * z);
            glow(cell, downsample(lit), zoom);
        } else {
            glow(cell, c == 'a' || c == 'p' ? font_symbol(look, c, w, h, zoom) : wire(font_symbol_fine(look, c, w, h, zoom), zoom, 4),
                 zoom);
        }
        return cell;
    }
    Mask tube(w * kSuper, h * kSuper);
    fill_rounded_rect(tube, 1.0 * z, 1.0 * z, w - 1.0 * z, h - 1.0 * z, 5.0 * z);
    cell.paint_with(downsample(tube), [&](int, int y) {
        return mix(rgb(kGlassTop), rgb(kGlassBottom), static_cast<float>(y) / static_cast<float>(h - 1));
    });
    Mask stack(w * kSuper, h * kSuper);
    for (char d = '0'; d <= '9'; ++d) {
        Mask one = font_symbol_fine(look, d, w, h, zoom);
        for (size_t i = 0; i < stack.a.size(); ++i) stack.a[i] = std::max(stack.a[i], one.a[i]);
    }
    cell.paint(wire(stack, zoom), rgb(kStack), 0.45f);
    glow(cell, wire(font_symbol_fine(look, c, w, h, zoom), zoom), zoom);
    // The mesh: dark lines on the diagonals every three design pixels.
    for (int y = 3; y < kHeight - 3; ++y)
        for (int x = 2; x < dw - 2; ++x)
            if ((x + y) % 3 == 0 || (x - y + 30) % 3 == 0) blend_design_rect(cell, zoom, x, y, x, y, rgb(kPanel), 0.22f);
    // A reflection of the room down the left of the glass.
    blend_design_rect(cell, zoom, 3, 5, 3, kHeight - 7, rgb(0xffffff), 0.07f);
    return cell;
}

}  // namespace nixie

// ---------------------------------------------------------------------------
// "neon": the outline of a bold figure bent from pink neon tube on a dark
// wall: a band along the figure's edge, a soft wide glow around it and a
// white-hot core.
namespace neon {

constexpr int kHeight = 30;
constexpr std::uint32_t kWallTop = 0x130e19, kWallBottom = 0x09070c;
constexpr std::uint32_t kGlow = 0xff1fb4, kTube = 0xff5ad9, kHot = 0xffe6f8;

int width(char c) {
    if (is_digit(c)) return 20;
    if (c == 'a' || c == 'p') return 26;
    return c == 'r' ? 9 : 13;
}

Canvas paint(char c, int zoom) {
    static const FontLook look{font_path("DejaVuSans-Bold.ttf"), 25.0, 13.0, kHeight / 2.0, "/", "-", ":"};
    int w = width(c) * zoom, h = kHeight * zoom;
    Canvas cell(w, h, {});
    cell.vgradient(0, 0, w - 1, h - 1, rgb(kWallTop), rgb(kWallBottom));
    // The tube runs just inside the figure's edge: the figure less the
    // figure shrunk by the tube's width, so its middle stays dark.
    Mask edge = font_symbol_fine(look, c, w, h, zoom);
    Mask inner = erode(edge, kSuper * zoom);
    for (size_t i = 0; i < edge.a.size(); ++i) edge.a[i] = std::max(0.0f, edge.a[i] - inner.a[i]);
    // The white-hot core: the middle third of the tube.
    Mask tube = downsample(edge), core = downsample(erode(edge, kSuper / 3 * zoom));
    cell.paint(blur(tube, zoomed(2.6, zoom)), rgb(kGlow), 0.8f);
    cell.paint(blur(tube, zoomed(0.9, zoom)), rgb(kGlow), 0.9f);
    cell.paint(tube, rgb(kTube));
    cell.paint(core, rgb(kHot), 0.8f);
    return cell;
}

}  // namespace neon

// ---------------------------------------------------------------------------
// "terminal": a black screen with green phosphor monospace figures, their
// glow bleeding a little, and every second design row a darker scanline.
namespace terminal {

constexpr int kHeight = 24;
constexpr std::uint32_t kScreen = 0x050d07, kGlow = 0x17c24a, kPhosphor = 0x52ff8c, kHot = 0xd0ffe0;

int width(char c) {
    if (is_digit(c)) return 12;
    if (c == 'a' || c == 'p') return 15;
    return c == 'r' ? 8 : 10;
}

Canvas paint(char c, int zoom) {
    static const FontLook look{font_path("DejaVuSansMono-Bold.ttf"), 19.0, 10.0, kHeight / 2.0, "/", "-", ":"};
    int dw = width(c), w = dw * zoom, h = kHeight * zoom;
    Canvas cell(w, h, rgb(kScreen));
    Mask figure = font_symbol(look, c, w, h, zoom);
    cell.paint(blur(figure, zoomed(1.4, zoom)), rgb(kGlow), 0.55f);
    cell.paint(figure, rgb(kPhosphor));
    cell.paint(hottest(figure, 0.9f, 0.25f), rgb(kHot));
    for (int y = 1; y < kHeight; y += 2) blend_design_rect(cell, zoom, 0, y, dw - 1, y, rgb(0x000000), 0.3f);
    return cell;
}

}  // namespace terminal

}  // namespace

Canvas paint_nixie(char c, int zoom) { return nixie::paint(c, zoom); }
Canvas paint_neon(char c, int zoom) { return neon::paint(c, zoom); }
Canvas paint_terminal(char c, int zoom) { return terminal::paint(c, zoom); }

}  // namespace vorn::imagegen
