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

// Draws the sets into `digits_dir`/<set>/<picture>.gif, creating the
// directories: "d" (the default, an odometer), "led" (glowing
// seven-segment figures), "flip" (split-flap cards) and "paper" (dark
// figures on light tiles). Ends the generator with a message on a write
// failure.
void write_digit_sets(const std::filesystem::path& digits_dir);

}  // namespace vorn::imagegen
