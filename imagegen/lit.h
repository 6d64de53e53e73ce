// SPDX-License-Identifier: GPL-3.0-or-later
// Digit sets whose figures give light of their own: glowing gas, tubes and
// phosphor on dark grounds, each for dark pages.
//
// Each function draws picture `c` of kSetPictures `zoom` times its
// design size.
#pragma once

#include "raster.h"

namespace vorn::imagegen {

// "nixie": orange glowing wire numerals behind a fine mesh in dark glass
// tubes, the unlit numerals of the stack faintly visible.
Canvas paint_nixie(char c, int zoom);

// "neon": figures bent from pink neon tube, glowing on a near-black wall.
Canvas paint_neon(char c, int zoom);

// "terminal": green monospace figures on a black screen with scanlines.
Canvas paint_terminal(char c, int zoom);

}  // namespace vorn::imagegen
