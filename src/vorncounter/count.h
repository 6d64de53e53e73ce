// The picture answer of modes "counter", "date" and "time": one digit
// picture per cell, side by side.
#pragma once

#include <string>

#include "vc.h"

namespace vorn {

// Most cells one counter picture may have; a larger cntlen is refused.
inline constexpr long kMaxCntlen = 64;

// Fills the text for vdb.mode, shows one picture per cell (each file of
// dir_digit/digit/ decoded once) and writes the image header and the GIF
// to standard output. Failures end the process with the error image.
void count_makeimage(const VDB& vdb, const CGICONFIG& cgiconfig);

// Path of the picture for cell `num` of `outstr`: the counter is
// right-aligned in cntlen cells with 0.gif before it.
std::string _count_getimagefilename(const VDB& vdb, const CGICONFIG& cgiconfig,
                                    const std::string& outstr, int num);

}  // namespace vorn
