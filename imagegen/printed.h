// SPDX-License-Identifier: GPL-3.0-or-later
// Digit sets printed on a surface: figures of ink, pigment or chalk on a
// flat ground, drawn without light of their own.
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

// "ink": blue-black serif figures on cream paper, for light pages.
Canvas paint_ink(char c, int zoom);

// "lcd": dark seven-segment figures on a grey-green liquid crystal panel,
// unlit segments faintly visible, for light pages.
Canvas paint_lcd(char c, int zoom);

// "chalk": chalk figures on a slate board in a wooden frame, for dark
// pages.
Canvas paint_chalk(char c, int zoom);

}  // namespace vorn::imagegen
