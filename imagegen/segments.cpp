// SPDX-License-Identifier: GPL-3.0-or-later
#include "segments.h"

namespace vorn::imagegen {

namespace {

Point slanted(const SegmentFrame& f, double x, double y) { return {x + f.slant * ((f.top + f.bottom) / 2 - y), y}; }

}  // namespace

void horizontal_segment(Mask& fine, const SegmentFrame& f, double yc) {
    double x0 = f.left + f.thick / 2 + f.gap, x1 = f.right - f.thick / 2 - f.gap, t = f.thick / 2;
    fill_polygon(fine, {slanted(f, x0, yc), slanted(f, x0 + t, yc - t), slanted(f, x1 - t, yc - t), slanted(f, x1, yc),
                        slanted(f, x1 - t, yc + t), slanted(f, x0 + t, yc + t)});
}

void vertical_segment(Mask& fine, const SegmentFrame& f, double xc, double y0, double y1) {
    double t = f.thick / 2;
    y0 += f.gap;
    y1 -= f.gap;
    fill_polygon(fine, {slanted(f, xc, y0), slanted(f, xc + t, y0 + t), slanted(f, xc + t, y1 - t), slanted(f, xc, y1),
                        slanted(f, xc - t, y1 - t), slanted(f, xc - t, y0 + t)});
}

void segment(Mask& fine, const SegmentFrame& f, int which) {
    double xl = f.left + f.thick / 2, xr = f.right - f.thick / 2;
    double yt = f.top + f.thick / 2, ym = (f.top + f.bottom) / 2, yb = f.bottom - f.thick / 2;
    switch (which) {
        case 0: horizontal_segment(fine, f, yt); break;
        case 1: vertical_segment(fine, f, xr, yt, ym); break;
        case 2: vertical_segment(fine, f, xr, ym, yb); break;
        case 3: horizontal_segment(fine, f, yb); break;
        case 4: vertical_segment(fine, f, xl, ym, yb); break;
        case 5: vertical_segment(fine, f, xl, yt, ym); break;
        default: horizontal_segment(fine, f, ym); break;
    }
}

}  // namespace vorn::imagegen
