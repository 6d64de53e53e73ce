// SPDX-License-Identifier: GPL-3.0-or-later
// Digit sets printed on a surface: figures of ink or pigment on a flat
// ground, drawn without light of their own.
//
// Each function draws picture `c` of kSetPictures `zoom` times its
// design size.
#pragma once

#include "raster.h"

namespace vorn::imagegen {

// "plain": white figures on the flat grey of a badge's value part, for
// light pages; flat colours, sharp small figures.
Canvas paint_plain(char c, int zoom);
// "plain-dark": the twin of "plain" for dark pages, of the same sizes.
Canvas paint_plain_dark(char c, int zoom);

}  // namespace vorn::imagegen
