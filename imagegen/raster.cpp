// SPDX-License-Identifier: GPL-3.0-or-later
#include "raster.h"

#include <gd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <unordered_map>

namespace vorn::imagegen {

namespace {

struct GdImageDeleter {
    void operator()(gdImagePtr im) const { gdImageDestroy(im); }
};
using GdImage = std::unique_ptr<gdImage, GdImageDeleter>;

struct GdFreeDeleter {
    void operator()(void* p) const { gdFree(p); }
};

// gd sizes FreeType text in points at 96 dots per inch.
constexpr double kPointsPerPixel = 72.0 / 96.0;

std::uint8_t channel(float v) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0f, 255.0f)));
}

std::uint32_t pack(Rgb c) {
    return (std::uint32_t{channel(c.r)} << 16) | (std::uint32_t{channel(c.g)} << 8) | channel(c.b);
}

int red_of(std::uint32_t c) { return static_cast<int>((c >> 16) & 0xff); }
int green_of(std::uint32_t c) { return static_cast<int>((c >> 8) & 0xff); }
int blue_of(std::uint32_t c) { return static_cast<int>(c & 0xff); }

// Perceptual enough for picking the nearest entry: green weighs most.
long distance(std::uint32_t a, std::uint32_t b) {
    long dr = red_of(a) - red_of(b), dg = green_of(a) - green_of(b), db = blue_of(a) - blue_of(b);
    return 3 * dr * dr + 4 * dg * dg + 2 * db * db;
}

size_t nearest(const Palette& palette, std::uint32_t c) {
    size_t best = 0;
    long best_d = -1;
    for (size_t i = 0; i < palette.size(); ++i) {
        long d = distance(palette[i], c);
        if (best_d < 0 || d < best_d) {
            best = i;
            best_d = d;
        }
    }
    return best;
}

struct Weighted {
    std::uint32_t colour;
    long count;
};

// A box of the median cut: a run of the colour list.
struct Box {
    size_t begin, end;
    long weight;
    int range;  // widest channel extent
    int axis;   // channel of that extent: 0 red, 1 green, 2 blue
};

int channel_of(std::uint32_t c, int axis) {
    return axis == 0 ? red_of(c) : axis == 1 ? green_of(c) : blue_of(c);
}

Box make_box(const std::vector<Weighted>& colours, size_t begin, size_t end) {
    Box b{begin, end, 0, 0, 0};
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    for (size_t i = begin; i < end; ++i) {
        b.weight += colours[i].count;
        for (int axis = 0; axis < 3; ++axis) {
            int v = channel_of(colours[i].colour, axis);
            lo[axis] = std::min(lo[axis], v);
            hi[axis] = std::max(hi[axis], v);
        }
    }
    for (int axis = 0; axis < 3; ++axis)
        if (hi[axis] - lo[axis] > b.range) {
            b.range = hi[axis] - lo[axis];
            b.axis = axis;
        }
    return b;
}

// Splits the colours into at most `n` boxes, always cutting the box whose
// extent weighs most at its weighted median, and returns each box's mean.
Palette median_cut(std::vector<Weighted> colours, size_t n) {
    Palette out;
    if (colours.empty() || n == 0) return out;
    std::vector<Box> boxes{make_box(colours, 0, colours.size())};
    while (boxes.size() < n) {
        auto worst = std::max_element(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) {
            return static_cast<double>(a.range) * std::sqrt(static_cast<double>(a.weight)) <
                   static_cast<double>(b.range) * std::sqrt(static_cast<double>(b.weight));
        });
        if (worst->range == 0) break;
        Box box = *worst;
        std::sort(colours.begin() + static_cast<long>(box.begin), colours.begin() + static_cast<long>(box.end),
                  [&](const Weighted& a, const Weighted& b) {
                      return channel_of(a.colour, box.axis) < channel_of(b.colour, box.axis);
                  });
        long half = 0;
        size_t cut = box.begin + 1;
        for (size_t i = box.begin; i < box.end - 1; ++i) {
            half += colours[i].count;
            cut = i + 1;
            if (half * 2 >= box.weight) break;
        }
        *worst = make_box(colours, box.begin, cut);
        boxes.push_back(make_box(colours, cut, box.end));
    }
    for (const Box& b : boxes) {
        double sum[3] = {0, 0, 0};
        for (size_t i = b.begin; i < b.end; ++i)
            for (int axis = 0; axis < 3; ++axis)
                sum[axis] += static_cast<double>(channel_of(colours[i].colour, axis)) * colours[i].count;
        auto mean = [&](int axis) { return static_cast<float>(sum[axis] / static_cast<double>(b.weight)); };
        out.push_back(pack({mean(0), mean(1), mean(2)}));
    }
    return out;
}

// A few rounds of k-means on the free entries; the kept entries stay.
void refine(Palette& palette, size_t kept, const std::vector<Weighted>& colours) {
    for (int round = 0; round < 4; ++round) {
        std::vector<double> sum(palette.size() * 3, 0.0);
        std::vector<double> weight(palette.size(), 0.0);
        for (const Weighted& w : colours) {
            size_t i = nearest(palette, w.colour);
            for (int axis = 0; axis < 3; ++axis)
                sum[i * 3 + static_cast<size_t>(axis)] += static_cast<double>(channel_of(w.colour, axis)) * w.count;
            weight[i] += static_cast<double>(w.count);
        }
        for (size_t i = kept; i < palette.size(); ++i)
            if (weight[i] > 0)
                palette[i] = pack({static_cast<float>(sum[i * 3] / weight[i]), static_cast<float>(sum[i * 3 + 1] / weight[i]),
                                   static_cast<float>(sum[i * 3 + 2] / weight[i])});
    }
}

}  // namespace

void fail(const std::string& message) {
    std::fprintf(stderr, "imagegen: %s\n", message.c_str());
    std::exit(1);
}

Rgb rgb(std::uint32_t hex) {
    return {static_cast<float>((hex >> 16) & 0xff), static_cast<float>((hex >> 8) & 0xff), static_cast<float>(hex & 0xff)};
}

Rgb mix(Rgb a, Rgb b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

Rgb scale(Rgb c, float k) { return {c.r * k, c.g * k, c.b * k}; }

Mask downsample(const Mask& fine) {
    Mask out(fine.w / kSuper, fine.h / kSuper);
    constexpr float kShare = 1.0f / (kSuper * kSuper);
    for (int y = 0; y < out.h; ++y)
        for (int x = 0; x < out.w; ++x) {
            float sum = 0;
            for (int sy = 0; sy < kSuper; ++sy)
                for (int sx = 0; sx < kSuper; ++sx) sum += fine.get(x * kSuper + sx, y * kSuper + sy);
            out.at(x, y) = sum * kShare;
        }
    return out;
}

Mask blur(const Mask& m, float sigma) {
    int radius = static_cast<int>(std::ceil(sigma * 3));
    std::vector<float> kernel(static_cast<size_t>(radius) * 2 + 1);
    float total = 0;
    for (int i = -radius; i <= radius; ++i) {
        kernel[static_cast<size_t>(i + radius)] = std::exp(-static_cast<float>(i * i) / (2 * sigma * sigma));
        total += kernel[static_cast<size_t>(i + radius)];
    }
    for (float& k : kernel) k /= total;
    Mask across(m.w, m.h), out(m.w, m.h);
    for (int y = 0; y < m.h; ++y)
        for (int x = 0; x < m.w; ++x) {
            float s = 0;
            for (int i = -radius; i <= radius; ++i) s += m.get(x + i, y) * kernel[static_cast<size_t>(i + radius)];
            across.at(x, y) = s;
        }
    for (int y = 0; y < m.h; ++y)
        for (int x = 0; x < m.w; ++x) {
            float s = 0;
            for (int i = -radius; i <= radius; ++i) s += across.get(x, y + i) * kernel[static_cast<size_t>(i + radius)];
            out.at(x, y) = s;
        }
    return out;
}

Mask erode(const Mask& m, int radius) {
    Mask across(m.w, m.h), out(m.w, m.h);
    for (int y = 0; y < m.h; ++y)
        for (int x = 0; x < m.w; ++x) {
            float least = 1.0f;
            for (int i = -radius; i <= radius; ++i) least = std::min(least, m.get(x + i, y));
            across.at(x, y) = least;
        }
    for (int y = 0; y < m.h; ++y)
        for (int x = 0; x < m.w; ++x) {
            float least = 1.0f;
            for (int i = -radius; i <= radius; ++i) least = std::min(least, across.get(x, y + i));
            out.at(x, y) = least;
        }
    return out;
}

void fill_polygon(Mask& fine, const std::vector<Point>& poly) {
    std::vector<double> crossings;
    for (int fy = 0; fy < fine.h; ++fy) {
        double y = (fy + 0.5) / kSuper;
        crossings.clear();
        for (size_t i = 0; i < poly.size(); ++i) {
            const Point& a = poly[i];
            const Point& b = poly[(i + 1) % poly.size()];
            if ((a.y <= y) != (b.y <= y)) crossings.push_back(a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y));
        }
        std::sort(crossings.begin(), crossings.end());
        for (size_t i = 0; i + 1 < crossings.size(); i += 2) {
            // Fine pixels whose centre lies between the two crossings.
            int from = std::max(0, static_cast<int>(std::ceil(crossings[i] * kSuper - 0.5)));
            int to = std::min(fine.w - 1, static_cast<int>(std::floor(crossings[i + 1] * kSuper - 0.5)));
            for (int fx = from; fx <= to; ++fx) fine.at(fx, fy) = 1.0f;
        }
    }
}

void fill_rounded_rect(Mask& fine, double x0, double y0, double x1, double y1, double radius) {
    for (int fy = 0; fy < fine.h; ++fy)
        for (int fx = 0; fx < fine.w; ++fx) {
            double x = (fx + 0.5) / kSuper, y = (fy + 0.5) / kSuper;
            if (x < x0 || x >= x1 || y < y0 || y >= y1) continue;
            double cx = std::clamp(x, x0 + radius, x1 - radius), cy = std::clamp(y, y0 + radius, y1 - radius);
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) fine.at(fx, fy) = 1.0f;
        }
}

void fill_ellipse(Mask& fine, double cx, double cy, double rx, double ry) {
    for (int fy = 0; fy < fine.h; ++fy)
        for (int fx = 0; fx < fine.w; ++fx) {
            double dx = ((fx + 0.5) / kSuper - cx) / rx, dy = ((fy + 0.5) / kSuper - cy) / ry;
            if (dx * dx + dy * dy <= 1.0) fine.at(fx, fy) = 1.0f;
        }
}

std::string font_path(const std::string& file) { return "/usr/share/fonts/truetype/dejavu/" + file; }

Ink render_text(const std::string& font_file, double px, const std::string& text) {
    double points = px * kSuper * kPointsPerPixel;
    std::vector<char> font(font_file.begin(), font_file.end()), str(text.begin(), text.end());
    font.push_back('\0');
    str.push_back('\0');
    int box[8];
    if (const char* err = gdImageStringFT(nullptr, box, 0, font.data(), points, 0.0, 0, 0, str.data()))
        fail("cannot draw text with " + font_file + ": " + err);
    constexpr int kMargin = 8 * kSuper;
    int left = std::min(box[0], box[6]), right = std::max(box[2], box[4]);
    int top = std::min(box[5], box[7]), bottom = std::max(box[1], box[3]);
    int w = right - left + 2 * kMargin, h = bottom - top + 2 * kMargin;
    GdImage im(gdImageCreateTrueColor(w, h));
    if (!im) fail("out of memory");
    int pen_x = kMargin - left, pen_y = kMargin - top;
    gdImageStringFT(im.get(), box, gdTrueColor(255, 255, 255), font.data(), points, 0.0, pen_x, pen_y, str.data());
    int x0 = w, y0 = h, x1 = -1, y1 = -1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (gdTrueColorGetRed(gdImageTrueColorPixel(im.get(), x, y)) > 0) {
                x0 = std::min(x0, x);
                y0 = std::min(y0, y);
                x1 = std::max(x1, x);
                y1 = std::max(y1, y);
            }
    Ink ink;
    if (x1 < 0) return ink;  // no ink, e.g. a space
    ink.fine = Mask(x1 - x0 + 1, y1 - y0 + 1);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            ink.fine.at(x - x0, y - y0) = static_cast<float>(gdTrueColorGetRed(gdImageTrueColorPixel(im.get(), x, y))) / 255.0f;
    ink.left = x0 - pen_x;
    ink.top = y0 - pen_y;
    return ink;
}

void stamp(Mask& fine, const Ink& ink, double left, double top) {
    int ox = static_cast<int>(std::lround(left * kSuper)), oy = static_cast<int>(std::lround(top * kSuper));
    for (int y = 0; y < ink.fine.h; ++y)
        for (int x = 0; x < ink.fine.w; ++x) {
            int fx = x + ox, fy = y + oy;
            if (fx < 0 || fy < 0 || fx >= fine.w || fy >= fine.h) continue;
            fine.at(fx, fy) = std::min(1.0f, fine.at(fx, fy) + ink.fine.get(x, y));
        }
}

Canvas::Canvas(int width, int height, Rgb fill) : w_(width), h_(height), px_(static_cast<size_t>(width) * height, fill) {}

void Canvas::set(int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < w_ && y < h_) px_[static_cast<size_t>(y) * w_ + x] = c;
}

void Canvas::fill_rect(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) set(x, y, c);
}

void Canvas::vgradient(int x0, int y0, int x1, int y1, Rgb top, Rgb bottom) {
    for (int y = y0; y <= y1; ++y) {
        float t = y1 > y0 ? static_cast<float>(y - y0) / static_cast<float>(y1 - y0) : 0.0f;
        for (int x = x0; x <= x1; ++x) set(x, y, mix(top, bottom, t));
    }
}

void Canvas::paint(const Mask& m, Rgb c, float opacity, int dx, int dy) {
    paint_with(
        m, [&](int x, int y) { return mix(get(x, y), c, opacity); }, dx, dy);
}

void draw_text(Canvas& c, const std::string& font_file, double px, const std::string& text, double x, double baseline,
               Rgb colour, int align) {
    Ink ink = render_text(font_file, px, text);
    if (ink.fine.w == 0) return;
    // Small text reads sharper with its ink box on whole pixels.
    double left = std::round(align < 0 ? x : align == 0 ? x - ink.width() / 2 : x - ink.width());
    double top = std::round(baseline + static_cast<double>(ink.top) / kSuper);
    int x0 = static_cast<int>(std::floor(left)), y0 = static_cast<int>(std::floor(top));
    Mask fine((static_cast<int>(std::ceil(ink.width())) + 2) * kSuper, (static_cast<int>(std::ceil(ink.height())) + 2) * kSuper);
    stamp(fine, ink, left - x0, top - y0);
    c.paint(downsample(fine), colour, 1.0f, x0, y0);
}

Palette quantise(const std::vector<const Canvas*>& canvases, int max_colours) {
    std::map<std::uint32_t, long> histogram;
    long pixels = 0;
    for (const Canvas* c : canvases)
        for (int y = 0; y < c->height(); ++y)
            for (int x = 0; x < c->width(); ++x) {
                ++histogram[pack(c->get(x, y))];
                ++pixels;
            }
    std::vector<Weighted> colours;
    for (const auto& [colour, count] : histogram) colours.push_back({colour, count});
    auto by_count = [](const Weighted& a, const Weighted& b) {
        return a.count != b.count ? a.count > b.count : a.colour < b.colour;
    };
    std::sort(colours.begin(), colours.end(), by_count);
    if (colours.size() <= static_cast<size_t>(max_colours)) {
        Palette all;
        for (const Weighted& w : colours) all.push_back(w.colour);
        return all;
    }
    // Flat areas keep their exact colour: up to half the entries go to the
    // colours that each cover at least one pixel in 400.
    Palette palette;
    size_t kept = 0;
    while (kept < colours.size() && kept < static_cast<size_t>(max_colours) / 2 && colours[kept].count * 400 >= pixels)
        palette.push_back(colours[kept++].colour);
    std::vector<Weighted> rest(colours.begin() + static_cast<long>(kept), colours.end());
    Palette cut = median_cut(rest, static_cast<size_t>(max_colours) - kept);
    palette.insert(palette.end(), cut.begin(), cut.end());
    refine(palette, kept, rest);
    // Two boxes can end at the same mean; keep each colour once.
    Palette unique;
    for (std::uint32_t c : palette)
        if (std::find(unique.begin(), unique.end(), c) == unique.end()) unique.push_back(c);
    return unique;
}

void write_gif(const Canvas& c, const Palette& palette, const std::filesystem::path& file) {
    if (palette.empty() || palette.size() > 256) fail("palette of " + std::to_string(palette.size()) + " colours");
    GdImage im(gdImageCreate(c.width(), c.height()));
    if (!im) fail("out of memory");
    for (std::uint32_t entry : palette) gdImageColorAllocate(im.get(), red_of(entry), green_of(entry), blue_of(entry));
    std::unordered_map<std::uint32_t, int> index;
    for (int y = 0; y < c.height(); ++y)
        for (int x = 0; x < c.width(); ++x) {
            std::uint32_t colour = pack(c.get(x, y));
            auto found = index.find(colour);
            if (found == index.end()) found = index.emplace(colour, static_cast<int>(nearest(palette, colour))).first;
            gdImageSetPixel(im.get(), x, y, found->second);
        }
    int size = 0;
    std::unique_ptr<void, GdFreeDeleter> data(gdImageGifPtr(im.get(), &size));
    std::ofstream out(file, std::ios::binary);
    if (!data || !out.write(static_cast<const char*>(data.get()), size) || !out.flush())
        fail("cannot write " + file.string());
}

}  // namespace vorn::imagegen
