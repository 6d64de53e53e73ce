// SPDX-License-Identifier: GPL-3.0-or-later
// Drawing primitives of the picture generator: float colour canvases,
// coverage masks drawn at a finer grid and averaged down (our own
// anti-aliasing), outline text through gd's FreeType renderer, and the
// palette step that turns canvases into GIF files.
//
// Pictures that are later composed into one gd palette image (a digit set)
// are quantised together to ONE palette and written with identical colour
// tables, so composing them never runs out of entries or shifts a colour.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vorn::imagegen {

// Masks for shapes and text are drawn on a grid this many times finer than
// the picture in each direction, then averaged: 36 coverage levels a pixel.
inline constexpr int kSuper = 6;

struct Rgb {
    float r = 0, g = 0, b = 0;  // 0..255, sRGB values
};

// 0xRRGGBB as a colour.
Rgb rgb(std::uint32_t hex);
// a at t = 0, b at t = 1.
Rgb mix(Rgb a, Rgb b, float t);
// Each channel multiplied by k (clamped later, when quantised).
Rgb scale(Rgb c, float k);

// Coverage 0..1 per pixel, row-major.
struct Mask {
    int w = 0, h = 0;
    std::vector<float> a;

    Mask() = default;
    Mask(int width, int height) : w(width), h(height), a(static_cast<size_t>(width) * height, 0.0f) {}
    // Coverage at (x, y); 0 outside the mask.
    float get(int x, int y) const { return (x < 0 || y < 0 || x >= w || y >= h) ? 0.0f : a[static_cast<size_t>(y) * w + x]; }
    // The pixel itself; (x, y) must lie inside.
    float& at(int x, int y) { return a[static_cast<size_t>(y) * w + x]; }
};

// Averages every kSuper x kSuper block of a fine mask into one pixel. The
// fine mask's size must be a multiple of kSuper.
Mask downsample(const Mask& fine);
// Gaussian blur with standard deviation `sigma` pixels; outside is empty.
Mask blur(const Mask& m, float sigma);
// Each pixel the least coverage within `radius` pixels across and down (a
// square): shapes shrink by `radius` on every side, thin strokes vanish.
Mask erode(const Mask& m, int radius);

struct Point {
    double x, y;
};

// Fills a polygon (even-odd rule) into a fine mask; coordinates are in
// picture pixels, so (0,0) is the picture's top-left corner.
void fill_polygon(Mask& fine, const std::vector<Point>& poly);
// Fills the rectangle [x0,x1) x [y0,y1) with corners rounded by `radius`
// into a fine mask; picture pixel coordinates.
void fill_rounded_rect(Mask& fine, double x0, double y0, double x1, double y1, double radius);
// Fills an ellipse into a fine mask; picture pixel coordinates.
void fill_ellipse(Mask& fine, double cx, double cy, double rx, double ry);

// One of the DejaVu faces of Debian's fonts-dejavu-core, by file name.
std::string font_path(const std::string& file);

// Text rendered at kSuper times its size and cropped to its ink.
struct Ink {
    Mask fine;            // coverage on the fine grid
    int left = 0;         // fine-grid offset of the ink box from the pen
    int top = 0;          // origin on the baseline (top is negative)
    double width() const { return static_cast<double>(fine.w) / kSuper; }   // picture pixels
    double height() const { return static_cast<double>(fine.h) / kSuper; }
};

// Renders `text` in the font file at `px` pixels per em (picture scale).
// Ends the generator with a message when the font cannot be used.
Ink render_text(const std::string& font_file, double px, const std::string& text);

// Adds the ink into a fine mask with its ink box's top-left corner at the
// picture coordinates (left, top); overlapping coverage saturates at 1.
void stamp(Mask& fine, const Ink& ink, double left, double top);

// A picture being drawn in full colour.
class Canvas {
public:
    Canvas(int width, int height, Rgb fill);
    int width() const { return w_; }
    int height() const { return h_; }
    Rgb get(int x, int y) const { return px_[static_cast<size_t>(y) * w_ + x]; }
    void set(int x, int y, Rgb c);

    // Solid rectangle, corners included; clipped to the canvas.
    void fill_rect(int x0, int y0, int x1, int y1, Rgb c);
    // Rectangle shaded from `top` (row y0) to `bottom` (row y1).
    void vgradient(int x0, int y0, int x1, int y1, Rgb top, Rgb bottom);
    // Blends colour c over the canvas by the mask's coverage times
    // `opacity`; the mask's pixel (0,0) lands on (dx, dy).
    void paint(const Mask& m, Rgb c, float opacity = 1.0f, int dx = 0, int dy = 0);
    // As paint, with a colour per canvas pixel.
    template <class ColourAt>
    void paint_with(const Mask& m, ColourAt colour_at, int dx = 0, int dy = 0) {
        for (int y = 0; y < m.h; ++y)
            for (int x = 0; x < m.w; ++x) {
                float a = m.get(x, y);
                int cx = x + dx, cy = y + dy;
                if (a <= 0.0f || cx < 0 || cy < 0 || cx >= w_ || cy >= h_) continue;
                set(cx, cy, mix(get(cx, cy), colour_at(cx, cy), a > 1.0f ? 1.0f : a));
            }
    }

private:
    int w_, h_;
    std::vector<Rgb> px_;
};

// Draws text in one colour with the pen's origin at (x, baseline); `align`
// -1 puts the ink's left edge at x, 0 centres the ink on x, 1 puts its
// right edge at x.
void draw_text(Canvas& c, const std::string& font_file, double px, const std::string& text, double x,
               double baseline, Rgb colour, int align = -1);

// A colour table of at most 256 entries.
using Palette = std::vector<std::uint32_t>;  // 0xRRGGBB

// One palette for all the canvases together, with at most `max_colours`
// entries. Colours that cover many pixels (flat areas) are kept exactly;
// the rest (anti-aliased edges, shading) are reduced by median cut.
Palette quantise(const std::vector<const Canvas*>& canvases, int max_colours);

// Writes the canvas as a GIF with exactly this palette (every entry, in
// order), each pixel taking the nearest entry. No transparent colour, not
// interlaced. Ends the generator with a message when the file cannot be
// written.
void write_gif(const Canvas& c, const Palette& palette, const std::filesystem::path& file);

// Prints the message to standard error and ends the generator with status 1.
[[noreturn]] void fail(const std::string& message);

}  // namespace vorn::imagegen
