// SPDX-License-Identifier: GPL-3.0-or-later
// The picture answer of modes "counter", "date" and "time": one digit
// picture per cell, side by side.
#pragma once

#include "picture/gif.h"
#include "vorncounter/vc.h"

namespace vorn {

// The text of the request's mode and its cells: the counter's count, after
// recording the visit when it counts; the date; the time. Throws
// ErrorAnswer, each before any visit is recorded:
//   "Invalid digit set ('<digit>'): a name may not hold '/' or '..'"
//   "Invalid cntlen ('<cntlen>'): use 1 to 64"          (counter)
//   "ago out of range ('<ago>')"                        (counter)
//   "Unknown style ('<style>')"                         (date, time)
CNT count_text(Request& request);

// `cnt` drawn with one picture of the request's digit set per cell, each
// picture file decoded once. Throws ErrorAnswer:
//   "Image file open error. ('<path>')" / "Image file decode error. ('<path>')"
//   "Image create error. (<w>x<h>)"
GdImage count_draw(Request& request, const CNT& cnt);

// Reads the pictures count_draw would read for `cnt`, and refuses what it
// would refuse, with the same messages, without drawing: for an answer that
// stands for the picture without being one. Through the worker's pictures,
// so a persistent worker decodes nothing again.
void count_check(Request& request, const CNT& cnt);

// `cnt` drawn with a twin of the request's digit set, the set of the same
// name with `suffix` after it: "-2x" (drawn at twice the resolution for
// high-density screens), "-dark" (the same pictures for dark pages) or
// "-dark-2x". None when there is no such set, a picture of it cannot be
// read or decoded, or the drawing is not exactly `factor` times the width
// and height of `shown` (count_draw's picture). Refuses nothing.
GdImage count_drawtwin(Request& request, const CNT& cnt, gdImagePtr shown, const char* suffix, int factor);

// The picture of the request: count_draw of count_text.
GdImage count_makeimage(Request& request);

}  // namespace vorn
