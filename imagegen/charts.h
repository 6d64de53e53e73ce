// The chart backgrounds: imgyear.rc, imgmonth.rc and imgday.rc, GIF
// pictures on which the statistics chart draws its title, its five numbers
// and its bars at fixed positions measured from the picture's edges.
#pragma once

#include <filesystem>

namespace vorn::imagegen {

// Writes the three backgrounds into `resource_dir`. Ends the generator
// with a message on a write failure.
void write_chart_backgrounds(const std::filesystem::path& resource_dir);

}  // namespace vorn::imagegen
