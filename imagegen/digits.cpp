#include "digits.h"

#include <cmath>
#include <functional>
#include <string>
#include <system_error>

#include "raster.h"

namespace vorn::imagegen {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The top and bottom rows of a cell: the frame of the panel, which joins
// from cell to cell.
void rim_rows(Canvas& cell, Rgb top, Rgb bottom) {
    cell.fill_rect(0, 0, cell.width() - 1, 0, top);
    cell.fill_rect(0, cell.height() - 1, cell.width() - 1, cell.height() - 1, bottom);
}

// Text symbols of a set drawn from an outline font: where the digits stand
// and how large the markers are.
struct FontLook {
    std::string font;      // digits and separators
    double digit_px;       // em size of the digits
    double marker_px;      // em size of the AM/PM text
    double middle;         // row the digits are centred on
    std::string h, m, r;   // texts of the separators
};

// Coverage of the symbol of picture `c` in a cell `w` x `h`: digits share
// one baseline, so a row of them lines up; separators and AM/PM are
// centred on the digits' middle.
Mask font_symbol(const FontLook& look, char c, int w, int h) {
    Mask fine(w * kSuper, h * kSuper);
    Ink zero = render_text(look.font, look.digit_px, "0");
    double digit_top = look.middle - zero.height() / 2;
    double baseline = digit_top - static_cast<double>(zero.top) / kSuper;
    auto centred = [&](const Ink& ink) { stamp(fine, ink, (w - ink.width()) / 2, look.middle - ink.height() / 2); };
    auto on_baseline = [&](const Ink& ink) {
        stamp(fine, ink, (w - ink.width()) / 2, baseline + static_cast<double>(ink.top) / kSuper);
    };
    if (is_digit(c)) {
        on_baseline(render_text(look.font, look.digit_px, std::string(1, c)));
    } else if (c == 'a' || c == 'p') {
        centred(render_text(look.font, look.marker_px, c == 'a' ? "AM" : "PM"));
    } else {
        // The slash keeps the digits' baseline; dash and colon sit on the middle.
        const std::string& text = c == 'h' ? look.h : c == 'm' ? look.m : look.r;
        Ink ink = render_text(look.font, look.digit_px, text);
        if (text == "/")
            on_baseline(ink);
        else
            centred(ink);
    }
    return downsample(fine);
}

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

// Light falling on the drum: 1 in the middle row, darker towards the edges.
float drum_light(int y) {
    double t = (y + 0.5 - kHeight / 2.0) / (kHeight / 2.0);
    return static_cast<float>(std::pow(std::cos(t * 1.25), 1.4));
}

Canvas paint(char c) {
    static const FontLook look{font_path("DejaVuSansCondensed-Bold.ttf"), 21.5, 11.0, kHeight / 2.0, "/", "-", ":"};
    int w = width(c);
    Canvas cell(w, kHeight, {});
    for (int y = 0; y < kHeight; ++y) {
        float light = drum_light(y);
        for (int x = 0; x < w; ++x) cell.set(x, y, scale(rgb(0x4a4a48), 0.12f + 0.88f * light));
    }
    cell.paint_with(font_symbol(look, c, w, kHeight),
                    [](int, int y) { return scale(rgb(0xfaf6ec), 0.45f + 0.55f * drum_light(y)); });
    for (int y = 0; y < kHeight; ++y) {
        float light = drum_light(y);
        cell.set(0, y, rgb(0x000000));
        cell.set(1, y, mix(cell.get(1, y), rgb(0x000000), 0.55f));
        cell.set(w - 1, y, scale(rgb(0x5c5c58), 0.2f + 0.8f * light));
    }
    rim_rows(cell, rgb(0x000000), rgb(0x000000));
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

// Segments a (top), b (top right), c (bottom right), d (bottom),
// e (bottom left), f (top left), g (middle) as bits 0..6.
constexpr unsigned kSegmentsOf[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

struct Frame {
    double left, right, top, bottom, thick, gap, slant;
};

Point slanted(const Frame& f, double x, double y) {
    return {x + f.slant * ((f.top + f.bottom) / 2 - y), y};
}

void horizontal(Mask& fine, const Frame& f, double yc) {
    double x0 = f.left + f.thick / 2 + f.gap, x1 = f.right - f.thick / 2 - f.gap, t = f.thick / 2;
    fill_polygon(fine, {slanted(f, x0, yc), slanted(f, x0 + t, yc - t), slanted(f, x1 - t, yc - t), slanted(f, x1, yc),
                        slanted(f, x1 - t, yc + t), slanted(f, x0 + t, yc + t)});
}

void vertical(Mask& fine, const Frame& f, double xc, double y0, double y1) {
    double t = f.thick / 2;
    y0 += f.gap;
    y1 -= f.gap;
    fill_polygon(fine, {slanted(f, xc, y0), slanted(f, xc + t, y0 + t), slanted(f, xc + t, y1 - t), slanted(f, xc, y1),
                        slanted(f, xc - t, y1 - t), slanted(f, xc - t, y0 + t)});
}

void segment(Mask& fine, const Frame& f, int which) {
    double xl = f.left + f.thick / 2, xr = f.right - f.thick / 2;
    double yt = f.top + f.thick / 2, ym = (f.top + f.bottom) / 2, yb = f.bottom - f.thick / 2;
    switch (which) {
        case 0: horizontal(fine, f, yt); break;
        case 1: vertical(fine, f, xr, yt, ym); break;
        case 2: vertical(fine, f, xr, ym, yb); break;
        case 3: horizontal(fine, f, yb); break;
        case 4: vertical(fine, f, xl, ym, yb); break;
        case 5: vertical(fine, f, xl, yt, ym); break;
        default: horizontal(fine, f, ym); break;
    }
}

// Lit and unlit shapes of one picture.
struct Shapes {
    Mask lit, unlit;
};

Shapes shapes(char c, int w) {
    Mask lit(w * kSuper, kHeight * kSuper), unlit(w * kSuper, kHeight * kSuper);
    const Frame digit{3.6, 13.4, 4.0, 24.0, 2.4, 0.3, 0.06};
    if (is_digit(c)) {
        for (int s = 0; s < 7; ++s) segment((kSegmentsOf[c - '0'] >> s) & 1 ? lit : unlit, digit, s);
    } else if (c == 'h') {
        horizontal(lit, {1.0, 9.0, digit.top, digit.bottom, digit.thick, digit.gap, digit.slant}, (digit.top + digit.bottom) / 2);
    } else if (c == 'm') {
        fill_ellipse(lit, 3.5, digit.bottom - 1.2, 1.25, 1.25);
    } else if (c == 'r') {
        fill_ellipse(lit, 3.8, 10.0, 1.3, 1.3);
        fill_ellipse(lit, 3.2, 18.0, 1.3, 1.3);
    } else {
        // Both indicators are printed; the one of the moment is lit.
        Ink am = render_text(font_path("DejaVuSansCondensed-Bold.ttf"), 9.5, "AM");
        Ink pm = render_text(font_path("DejaVuSansCondensed-Bold.ttf"), 9.5, "PM");
        stamp(c == 'a' ? lit : unlit, am, (w - am.width()) / 2, 6.0);
        stamp(c == 'p' ? lit : unlit, pm, (w - pm.width()) / 2, 15.0);
    }
    return {downsample(lit), downsample(unlit)};
}

Canvas paint(char c) {
    int w = width(c);
    Canvas cell(w, kHeight, {});
    cell.vgradient(0, 0, w - 1, kHeight - 1, kPanelTop, kPanelBottom);
    Shapes s = shapes(c, w);
    cell.paint(s.unlit, rgb(kUnlit));
    cell.paint(blur(s.lit, 1.4f), rgb(kGlow), 0.75f);
    cell.paint(s.lit, rgb(kLit));
    // A hot core where the segment is fully lit.
    Mask core = s.lit;
    for (float& a : core.a) a = a > 0.95f ? 0.35f : 0.0f;
    cell.paint(core, rgb(kCore));
    for (int y = 0; y < kHeight; ++y) {
        cell.set(0, y, mix(cell.get(0, y), rgb(0x3a3030), 0.5f));
        cell.set(w - 1, y, rgb(0x000000));
    }
    rim_rows(cell, rgb(0x000000), rgb(0x262020));
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

Canvas paint(char c) {
    static const FontLook look{font_path("DejaVuSansCondensed-Bold.ttf"), 21.5, 10.5, kSplitRow + 0.5, "/", "-", ":"};
    int w = width(c);
    Canvas cell(w, kHeight, kHousing);
    // Separators and the AM/PM label are printed on the housing between
    // the cards, where no split runs through them.
    if (!is_digit(c)) {
        cell.vgradient(0, 0, w - 1, kHeight - 1, rgb(0x161616), rgb(0x0c0c0c));
        cell.paint(font_symbol(look, c, w, kHeight), rgb(0xd8d8d2));
        return cell;
    }
    Mask shape(w * kSuper, kHeight * kSuper);
    fill_rounded_rect(shape, 1.0, 1.0, w - 1.0, kHeight - 1.0, 2.2);
    Mask card_mask = downsample(shape);
    cell.paint_with(card_mask, [](int, int y) {
        return y <= kSplitRow ? mix(rgb(0x424242), rgb(0x363636), static_cast<float>(y) / kSplitRow)
                              : mix(rgb(0x313131), rgb(0x262626), static_cast<float>(y - kSplitRow) / (kHeight - kSplitRow));
    });
    cell.paint_with(font_symbol(look, c, w, kHeight),
                    [](int, int y) { return y <= kSplitRow ? rgb(0xf4f4ee) : rgb(0xdadad3); });
    // The split between the two flaps, a faint lip below it and the hinges.
    for (int x = 1; x < w - 1; ++x) {
        cell.set(x, kSplitRow + 1, mix(cell.get(x, kSplitRow + 1), rgb(0x050505), 0.85f));
        cell.set(x, kSplitRow + 2, mix(cell.get(x, kSplitRow + 2), rgb(0x505050), 0.25f));
    }
    cell.fill_rect(0, kSplitRow, 1, kSplitRow + 2, kHousing);
    cell.fill_rect(w - 2, kSplitRow, w - 1, kSplitRow + 2, kHousing);
    // The top edge of the card catches the light.
    for (int x = 2; x < w - 2; ++x) cell.set(x, 1, mix(cell.get(x, 1), rgb(0x6a6a6a), 0.6f));
    return cell;
}

}  // namespace flip

// ---------------------------------------------------------------------------
// "paper": navy figures on light tiles with a soft grey edge, for light
// pages.
namespace paper {

constexpr int kHeight = 24;

int width(char c) {
    if (is_digit(c)) return 16;
    if (c == 'a' || c == 'p') return 21;
    return c == 'r' ? 7 : 10;
}

Canvas paint(char c) {
    static const FontLook look{font_path("DejaVuSans-Bold.ttf"), 19.0, 10.0, kHeight / 2.0, "/", "-", ":"};
    int w = width(c);
    Canvas cell(w, kHeight, {});
    cell.vgradient(0, 0, w - 1, kHeight - 1, rgb(0xffffff), rgb(0xe9edf1));
    cell.paint(font_symbol(look, c, w, kHeight), rgb(0x1d3557));
    cell.fill_rect(0, 0, 0, kHeight - 1, rgb(0xd9dfe6));
    cell.fill_rect(w - 1, 0, w - 1, kHeight - 1, rgb(0xa9b3be));
    rim_rows(cell, rgb(0xc3cbd4), rgb(0x94a0ad));
    return cell;
}

}  // namespace paper

struct SetDesign {
    const char* name;
    std::function<Canvas(char)> paint;
};

const std::vector<SetDesign>& designs() {
    static const std::vector<SetDesign> all{
        {"d", odometer::paint},
        {"led", led::paint},
        {"flip", flip::paint},
        {"paper", paper::paint},
    };
    return all;
}

}  // namespace

void write_digit_sets(const std::filesystem::path& digits_dir) {
    for (const SetDesign& design : designs()) {
        std::vector<Canvas> cells;
        for (const char* c = kSetPictures; *c; ++c) cells.push_back(design.paint(*c));
        std::vector<const Canvas*> all;
        for (const Canvas& c : cells) all.push_back(&c);
        Palette palette = quantise(all, kSetColours);
        std::filesystem::path dir = digits_dir / design.name;
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) fail("cannot create " + dir.string() + ": " + ec.message());
        for (size_t i = 0; i < cells.size(); ++i) write_gif(cells[i], palette, dir / (std::string(1, kSetPictures[i]) + ".gif"));
    }
}

}  // namespace vorn::imagegen
