// SPDX-License-Identifier: GPL-3.0-or-later
// Drawing one picture (cell) of a digit set in design pixels.
//
// A design is laid out in the pixels of its 1x set; a picture drawn `zoom`
// times larger gives each design pixel zoom x zoom picture pixels, and
// every length (cell size, font size, position, thickness, radius, blur)
// is multiplied by zoom before it is drawn, so the finer set is drawn at
// its own resolution rather than enlarged.
#pragma once

#include <cstdint>
#include <string>

#include "raster.h"

namespace vorn::imagegen {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Calls f(x, y) for every picture pixel of the design pixels
// [x0, x1] x [y0, y1], corners included.
template <class PerPixel>
void each_pixel(int zoom, int x0, int y0, int x1, int y1, PerPixel f) {
    for (int y = y0 * zoom; y < (y1 + 1) * zoom; ++y)
        for (int x = x0 * zoom; x < (x1 + 1) * zoom; ++x) f(x, y);
}

// Sets every picture pixel to f(x, y), x and y being the pixel's centre
// in design coordinates: a shading or texture defined on the design looks
// the same at every zoom.
template <class ColourAt>
void shade_design(Canvas& cell, int zoom, ColourAt f) {
    for (int y = 0; y < cell.height(); ++y)
        for (int x = 0; x < cell.width(); ++x) cell.set(x, y, f((x + 0.5) / zoom, (y + 0.5) / zoom));
}

// Multiplies every cell of a fine mask by f(x, y), x and y being the
// cell's centre in design coordinates.
template <class Factor>
void modulate_fine(Mask& fine, int zoom, Factor f) {
    const double per_design_pixel = static_cast<double>(kSuper) * zoom;
    for (int y = 0; y < fine.h; ++y)
        for (int x = 0; x < fine.w; ++x)
            if (fine.at(x, y) > 0) fine.at(x, y) *= f((x + 0.5) / per_design_pixel, (y + 0.5) / per_design_pixel);
}

// Paints the design pixels [x0, x1] x [y0, y1] in colour c.
void fill_design_rect(Canvas& cell, int zoom, int x0, int y0, int x1, int y1, Rgb c);

// Blends colour c by t over the design pixels [x0, x1] x [y0, y1].
void blend_design_rect(Canvas& cell, int zoom, int x0, int y0, int x1, int y1, Rgb c, float t);

// The top and bottom design rows of a cell: the frame of the panel, which
// joins from cell to cell.
void rim_rows(Canvas& cell, int zoom, Rgb top, Rgb bottom);

// Text symbols of a set drawn from an outline font: where the digits stand
// and how large the markers are, in design pixels.
struct FontLook {
    std::string font;      // digits and separators
    double digit_px;       // em size of the digits
    double marker_px;      // em size of the AM/PM text
    double middle;         // row the digits are centred on
    std::string h, m, r;   // texts of the separators
};

// Where a symbol's ink box stands: centred exactly, or with its corner on
// a whole design pixel, so that small text puts its upright edges at the
// same places at every zoom and as many of them as may on pixel edges.
enum class Snap { kNone, kDesignPixel };

// Coverage of the symbol of picture `c` on the fine grid of a picture
// `w` x `h` drawn `zoom` times the design size: digits share one baseline,
// so a row of them lines up; separators and AM/PM are centred on the
// digits' middle.
Mask font_symbol_fine(const FontLook& look, char c, int w, int h, int zoom, Snap snap = Snap::kNone);

// font_symbol_fine averaged down to picture pixels.
Mask font_symbol(const FontLook& look, char c, int w, int h, int zoom, Snap snap = Snap::kNone);

// Coverage of small text made crisper for a flat ground: edge pixels
// weighed up by a gamma (thin light strokes on a dark ground otherwise
// look fainter than their coverage) and steepened around one half.
Mask crisp(Mask m);

// Weight 0 on the left and right edges of a cell `width` design pixels
// wide, rising to 1 at `margin` design pixels inside: a texture faded to
// its mean at the edges meets the next cell's without a seam.
float edge_fade(double x, double width, double margin);

// Smooth noise 0..1 at design coordinates (x, y), varying over about one
// design pixel; the same for the same arguments on every run, so a texture
// drawn from it is the same at every zoom and in every build.
float value_noise(double x, double y, std::uint32_t seed);

}  // namespace vorn::imagegen
