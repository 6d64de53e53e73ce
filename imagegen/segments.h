// SPDX-License-Identifier: GPL-3.0-or-later
// Seven-segment figures: the segments of each digit and their shapes, for
// the sets drawn as segment displays.
#pragma once

#include "raster.h"

namespace vorn::imagegen {

// Segments a (top), b (top right), c (bottom right), d (bottom),
// e (bottom left), f (top left), g (middle) as bits 0..6.
inline constexpr unsigned kSegmentsOf[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

// The box a figure's segments fill, in picture pixels: its outer edges,
// the segments' thickness, the gap left between neighbouring segments and
// the slant (horizontal shift per row, towards the right going up, as a
// ratio; 0 for upright).
struct SegmentFrame {
    double left, right, top, bottom, thick, gap, slant;
};

// A horizontal segment of pointed ends centred on row yc of the frame.
void horizontal_segment(Mask& fine, const SegmentFrame& f, double yc);

// A vertical segment of pointed ends centred on column xc, from y0 to y1.
void vertical_segment(Mask& fine, const SegmentFrame& f, double xc, double y0, double y1);

// Segment `which` (0 for a to 6 for g) of the frame's figure.
void segment(Mask& fine, const SegmentFrame& f, int which);

}  // namespace vorn::imagegen
