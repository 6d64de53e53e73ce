// The bar chart answer of mode "stat": visits per month of a year, per day
// of a month or per hour of a day, drawn on a background picture.
#pragma once

#include <string>

#include "picture/gif.h"
#include "vorncounter/vc.h"

namespace vorn {

// The charted period, cut from the request's date by position. Fields the
// date does not reach stay empty.
struct ST_TIME {
    std::string year;   // up to 4 characters
    std::string month;  // 2 characters or empty
    std::string day;    // 2 characters or empty
};

// Loads the background for the request's when and draws the chart of the
// request's counter on it: the title, the counter's total, the period's
// total, the largest and smallest bar, the average and a bar per slot.
// Changes nothing in the counter. Throws ErrorAnswer:
//   "Unknown when ('<when>')"
//   "Error, '<path>' file not found" / "Error, '<path>' is not a GIF picture"
GdImage statistics_makeimage(Request& request);

}  // namespace vorn
