// SPDX-License-Identifier: GPL-3.0-or-later
// The count increment: a stored count plus one, as decimal text of any
// length. The gdbm store raises its records with support_counterupdate; the
// Redis store raises them on the server with kIncrementScript, its twin in
// Lua, so that a counter holds the same texts in either store.
#pragma once

#include <string>

namespace vorn {

// `count` plus one, as decimal text of any length: "999" gives "1000",
// "007" gives "008", "" gives "1". A last character that is no digit is
// raised by one byte, as the counter always did ("12a" gives "12b").
std::string support_counterupdate(const std::string& count);

// The same on a Redis server: the Lua function `up(v)` of this text raises
// a value exactly as support_counterupdate does, and gives "1" for a
// missing one (nil).
extern const char kIncrementScript[];

}  // namespace vorn
