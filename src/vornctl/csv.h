// SPDX-License-Identifier: GPL-3.0-or-later
// The hour records of a counter as CSV: what export writes and import reads.
//
//     hour,count
//     2026/12/09/02,5
//
// The first line is the heading; each further line is one hour key
// ("%Y/%m/%d/%H" of a real day) and its count (decimal, at most 18 digits).
// Lines end in LF (a CR before it is allowed); empty lines are skipped.
#pragma once

#include <cstdio>
#include <map>
#include <string>

namespace vorn {

inline constexpr char kCsvHeading[] = "hour,count";

// Bounds of one import: a century of hours is 876,600 lines.
inline constexpr std::size_t kMaxCsvBytes = 64u * 1024 * 1024;
inline constexpr std::size_t kMaxCsvLines = 1000000;
inline constexpr std::size_t kMaxCsvLine = 256;

// The CSV of `hours` (hour key -> count), in ascending order.
std::string csv_write(const std::map<std::string, long long>& hours);

// The hours read from `in`, each hour's counts added up (an hour may appear
// more than once), and their sum.
struct CsvHours {
    std::map<std::string, long long> hours;
    long long visits = 0;
    std::size_t lines = 0;  // data lines read
};

// Reads and checks the whole of `in` before anything is used. A bad line
// (or input past the bounds) is refused: the message names `source`, the
// first bad line's number and what is wrong with it, and how many more bad
// lines follow ("SOURCE:LINE: ..."). Throws ErrorAnswer then.
CsvHours csv_read(std::FILE* in, const std::string& source);

}  // namespace vorn
