// SPDX-License-Identifier: GPL-3.0-or-later
// What vornctl writes: JSON documents (base/text.h) for scripts and aligned
// text tables for people, both in UTF-8 on standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace vorn {

// Columns `text` takes on a terminal: UTF-8 characters one each, the wide
// ones of East Asian scripts two, combining marks none; each byte that is
// no valid UTF-8 one.
std::size_t output_width(std::string_view text);

// Rows of cells written as columns, each as wide as its widest cell (in
// terminal columns, output_width), two spaces apart, the last column
// unpadded; the first row is the heading.
std::string output_table(const std::vector<std::vector<std::string>>& rows);

// Writes `text` to standard output.
void output_write(const std::string& text);

}  // namespace vorn
