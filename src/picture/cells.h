// SPDX-License-Identifier: GPL-3.0-or-later
// Composing a picture of cells: the digit pictures of a counter, date or
// time answer, copied side by side into one palette image.
#pragma once

#include <cstdint>
#include <unordered_map>

#include <gd.h>

namespace vorn {

// The colours resolved into an answer so far: a cell colour (red, green,
// blue and alpha packed) and its index in the answer's palette.
using CellColors = std::unordered_map<std::uint32_t, int>;

// Copies the whole picture `cell` into `im_out` at (x, 0), exactly as
// gdImageCopy would (the same palette, in the same order, and the same
// pixels; what falls outside `im_out` is cut), resolving each colour once
// for all cells of the answer through `colors`.
void cells_copy(gdImagePtr im_out, gdImagePtr cell, int x, CellColors& colors);

}  // namespace vorn
