// The picture answer of modes "counter", "date" and "time": one digit
// picture per cell, side by side.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include <gd.h>

#include "vc.h"

namespace vorn {

// Most cells one counter picture may have; a larger cntlen is refused.
inline constexpr long kMaxCntlen = 64;

// Fills the text for vdb.mode, shows one picture per cell (each file of
// dir_digit/digit/ decoded once) and writes the image header and the GIF
// to standard output. Failures end the process with the error image.
void count_makeimage(const VDB& vdb, const CGICONFIG& cgiconfig);

// The colours resolved into an answer so far: a cell colour (red, green,
// blue and alpha packed) and its index in the answer's palette.
using CellColors = std::unordered_map<std::uint32_t, int>;

// Copies the whole picture `cell` into `im_out` at (x, 0), exactly as
// gdImageCopy would (the same palette, in the same order, and the same
// pixels), resolving each colour once for all cells through `colors`.
void _count_copycell(gdImagePtr im_out, gdImagePtr cell, int x, CellColors& colors);

// Path of the picture for cell `num` of `outstr`: the counter is
// right-aligned in cntlen cells with 0.gif before it.
std::string _count_getimagefilename(const VDB& vdb, const CGICONFIG& cgiconfig,
                                    const std::string& outstr, int num);

}  // namespace vorn
