// SPDX-License-Identifier: GPL-3.0-or-later
// Hit recording, period counts, and the texts of the date and time
// pictures.
#pragma once

#include <optional>
#include <string>

#include "base/support.h"
#include "config/config.h"
#include "counting/rules.h"
#include "store/store.h"

namespace vorn {

// The text a picture shows: one picture cell per character of `outstr`,
// `stylelen` cells in all.
struct CNT {
    std::string outstr;
    int stylelen = 0;
};

// A date or time picture's style: the time text it shows and its cells.
struct ImageStyle {
    TimeStyle style;
    int cells;
};

// The date style of the letter `letter` ('a' to 'g'), or nullopt.
std::optional<ImageStyle> compute_datestyle(char letter);
// The time style of the letter `letter` ('a' to 'f'), or nullopt.
std::optional<ImageStyle> compute_timestyle(char letter);

// Furthest a counter picture may look back or ahead, in days (about 10,000
// years), so the clock is never asked for a moment it cannot express.
inline constexpr long kMaxAgoDays = 3650000;

// What a counter request shows: the total (or a past day's count), and
// why no visit was counted when none was.
struct COUNTED {
    std::string count;
    std::optional<Uncounted> uncounted;
};

// Mode "counter" with ago "total" (`days_back` absent): records one hit in
// the hour of `clock` ("totcnt", the hour's record, and "startdate" at the
// first hit) as one change of the store, and answers the new total. A hit
// that the counting rules of `config` leave out (counting/rules.h) writes
// nothing and answers the stored total ("0" before the first hit), and so
// does a `peek` (count=no), which asks no rule. With `days_back`: the sum
// of the day so many days back, and nothing is written.
// The robot list is read through `bots` when one is given.
COUNTED compute_count(Counter& counter, std::optional<long> days_back, bool peek, const CGICONFIG& config,
                      const VISITOR& visitor, const Clock& clock, FileCache<std::vector<std::string>>* bots = nullptr);

// Modes "date" and "time": the present moment of `clock` in `style`.
CNT compute_date(const ImageStyle& style, const Clock& clock);

// Period counts of `counter`. Sums are computed in 64 bits and saturate.
std::optional<std::string> compute_gettotalcount(Counter& counter);                  // nullopt: no hit yet
std::string compute_getyearcount(Counter& counter, const std::string& year);        // "2001"
std::string compute_getmonthcount(Counter& counter, const std::string& month);      // "2001/03"
std::string compute_getdaycount(Counter& counter, const std::string& day);          // "2001/03/11"
std::string compute_gethourscount(Counter& counter, const std::string& hour);       // "2001/03/11/09"; "0" if none

}  // namespace vorn
