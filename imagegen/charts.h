// SPDX-License-Identifier: GPL-3.0-or-later
// The chart backgrounds: imgyear.rc, imgmonth.rc and imgday.rc, GIF
// pictures on which the statistics chart draws its title, its five numbers
// and its bars at fixed positions measured from the picture's edges. The
// pictures carry everything that does not change: the title band, the plot
// panel with its grid and axis labels, and the captions of the numbers.
#pragma once

#include <filesystem>

namespace vorn::imagegen {

// Where the chart draws; the backgrounds are laid out around these.
inline constexpr int kSlotPitch = 14;        // bar slots are this far apart
inline constexpr int kBarLeft = 8;           // slot n's bar starts at 14n + 8
inline constexpr int kBarSpan = 12;          // and ends 12 columns further
inline constexpr int kAverageLeft = 13;      // the average bar starts at 14n + 13
inline constexpr int kBaseFromBottom = 25;   // bars stand on row height - 25
inline constexpr int kTallestBar = 200;      // the largest bar rises 200 rows
inline constexpr int kNumbersFromRight = 140;                  // numbers start at width - 140
inline constexpr int kNumberRows[5] = {45, 77, 109, 141, 173};  // their top rows
inline constexpr int kNumberHeight = 13;                        // gdFontSmall cell height

// Largest palette of a background: gd's 256 less room for the six colours
// the chart allocates, with plenty to spare.
inline constexpr int kChartColours = 160;

// Writes the three backgrounds into `resource_dir`. Ends the generator
// with a message on a write failure.
void write_chart_backgrounds(const std::filesystem::path& resource_dir);

}  // namespace vorn::imagegen
