// SPDX-License-Identifier: GPL-3.0-or-later
#include "cell.h"

#include <algorithm>
#include <cmath>

namespace vorn::imagegen {

void fill_design_rect(Canvas& cell, int zoom, int x0, int y0, int x1, int y1, Rgb c) {
    each_pixel(zoom, x0, y0, x1, y1, [&](int x, int y) { cell.set(x, y, c); });
}

void blend_design_rect(Canvas& cell, int zoom, int x0, int y0, int x1, int y1, Rgb c, float t) {
    each_pixel(zoom, x0, y0, x1, y1, [&](int x, int y) { cell.set(x, y, mix(cell.get(x, y), c, t)); });
}

void rim_rows(Canvas& cell, int zoom, Rgb top, Rgb bottom) {
    int w = cell.width() / zoom, h = cell.height() / zoom;
    fill_design_rect(cell, zoom, 0, 0, w - 1, 0, top);
    fill_design_rect(cell, zoom, 0, h - 1, w - 1, h - 1, bottom);
}

Mask font_symbol_fine(const FontLook& look, char c, int w, int h, int zoom, Snap snap) {
    Mask fine(w * kSuper, h * kSuper);
    auto text = [&](double px, const std::string& t) { return render_text(look.font, px, t); };
    auto place = [&](double v) { return snap == Snap::kDesignPixel ? std::round(v / zoom) * zoom : v; };
    double digit_px = look.digit_px * zoom, middle = look.middle * zoom;
    Ink zero = text(digit_px, "0");
    double digit_top = middle - zero.height() / 2;
    double baseline = place(digit_top - static_cast<double>(zero.top) / kSuper);
    auto centred = [&](const Ink& ink) {
        stamp(fine, ink, place((w - ink.width()) / 2), place(middle - ink.height() / 2));
    };
    auto on_baseline = [&](const Ink& ink) {
        stamp(fine, ink, place((w - ink.width()) / 2), baseline + static_cast<double>(ink.top) / kSuper);
    };
    if (is_digit(c)) {
        on_baseline(text(digit_px, std::string(1, c)));
    } else if (c == 'a' || c == 'p') {
        centred(text(look.marker_px * zoom, c == 'a' ? "AM" : "PM"));
    } else {
        // The slash keeps the digits' baseline; dash and colon sit on the middle.
        const std::string& symbol = c == 'h' ? look.h : c == 'm' ? look.m : look.r;
        Ink ink = text(digit_px, symbol);
        if (symbol == "/")
            on_baseline(ink);
        else
            centred(ink);
    }
    return fine;
}

Mask font_symbol(const FontLook& look, char c, int w, int h, int zoom, Snap snap) {
    return downsample(font_symbol_fine(look, c, w, h, zoom, snap));
}

Mask crisp(Mask m) {
    constexpr float kGamma = 0.75f, kSteepness = 1.3f;
    for (float& a : m.a) a = std::clamp((std::pow(a, kGamma) - 0.5f) * kSteepness + 0.5f, 0.0f, 1.0f);
    return m;
}

namespace {

// A well-mixed 32-bit hash of a lattice point (integer arithmetic only, so
// every build gives the same texture).
std::uint32_t lattice_hash(std::int64_t x, std::int64_t y, std::uint32_t seed) {
    std::uint32_t h = seed * 0x9e3779b9u ^ static_cast<std::uint32_t>(x) * 0x85ebca6bu ^ static_cast<std::uint32_t>(y) * 0xc2b2ae35u;
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

double lattice_value(std::int64_t x, std::int64_t y, std::uint32_t seed) {
    return static_cast<double>(lattice_hash(x, y, seed) >> 8) / static_cast<double>(1u << 24);
}

double smooth(double t) { return t * t * (3 - 2 * t); }

}  // namespace

float edge_fade(double x, double width, double margin) {
    return static_cast<float>(smooth(std::clamp(std::min(x, width - x) / margin, 0.0, 1.0)));
}

float value_noise(double x, double y, std::uint32_t seed) {
    double fx = std::floor(x), fy = std::floor(y);
    auto ix = static_cast<std::int64_t>(fx), iy = static_cast<std::int64_t>(fy);
    double tx = smooth(x - fx), ty = smooth(y - fy);
    double top = lattice_value(ix, iy, seed) + (lattice_value(ix + 1, iy, seed) - lattice_value(ix, iy, seed)) * tx;
    double bottom =
        lattice_value(ix, iy + 1, seed) + (lattice_value(ix + 1, iy + 1, seed) - lattice_value(ix, iy + 1, seed)) * tx;
    return static_cast<float>(top + (bottom - top) * ty);
}

}  // namespace vorn::imagegen
