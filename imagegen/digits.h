// SPDX-License-Identifier: GPL-3.0-or-later
// The digit picture sets: one directory per set holding 0.gif to 9.gif and
// the marker pictures h (date separator), m (second date separator),
// r (hour/minute separator), a and p (before/after noon).
//
// The counter composes a row of these pictures edge to edge, top-aligned,
// into one palette image, so within a set every picture has the same
// height, the ten digits the same width, and all fifteen the same palette.
#pragma once

#include <filesystem>

namespace vorn::imagegen {

// The file names of a set, without ".gif", in drawing order.
inline constexpr char kSetPictures[] = "0123456789hmrap";

// Largest palette of a set; well below gd's 256 so the composition never
// has to pick a nearest colour.
inline constexpr int kSetColours = 64;

// Every set is drawn at these whole multiples of its design size: 1 gives
// the set under its own name, 2 the set "<name>-2x" for high-density
// screens, each picture twice as wide and high and drawn at that
// resolution, with the same design.
inline constexpr int kSetZooms[] = {1, 2};

// A set "<name>-dark" is the twin of the set <name> for dark pages: every
// picture of the same size as its light twin's (so a page can show either
// without its layout moving), drawn with a dark ground and light figures.
inline constexpr char kDarkTwin[] = "-dark";

// Draws the sets into `digits_dir`/<set>/<picture>.gif, creating the
// directories, each also as "<set>-2x": "d" (the default, an odometer),
// "led" (glowing seven-segment figures), "flip" (split-flap cards),
// "paper" (dark figures on light tiles) and "paper-dark", "plain" (a flat
// badge) and "plain-dark", "ink" (serif ink on cream paper), "lcd" (a
// liquid crystal panel), "chalk" (a slate board), "nixie" (glow tubes),
// "neon" (outline tubes) and "terminal" (green phosphor). Ends the
// generator with a message on a write failure.
void write_digit_sets(const std::filesystem::path& digits_dir);

}  // namespace vorn::imagegen
