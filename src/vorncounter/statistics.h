// SPDX-License-Identifier: GPL-3.0-or-later
// The bar chart answer of mode "stat": visits per month of a year, per day
// of a month or per hour of a day, drawn on a background picture.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

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

// One bar of a chart: the key of its slot ("2001/03", "2001/03/07",
// "2001/03/07/15"), its count as shown and as a number.
struct ChartBar {
    std::string label;
    std::string text;
    long value = 0;
};

// What a chart shows, read from the counter at one moment.
struct ChartFigures {
    std::string title;   // "March, 2001 statistics"
    std::string period;  // the period key: "2001", "2001/03", "2001/03/07"
    std::string total;   // the counter's total as stored ("0" before the first hit)
    std::string this_;   // the period's visits
    std::vector<ChartBar> bars;  // one a slot: 12 months, the month's days, 24 hours
    std::size_t max = 0;         // the bar shown as largest (the first of equals)
    std::size_t min = 0;         // and as smallest
    long average = 0;            // over the part of the period begun, for the current one
    int average_slot = 0;        // where the average bar stands
};

// The figures of the request's chart, read from its counter; nothing is
// drawn. With `like_chart` (figures that stand for the chart, as JSON) the
// background is read as statistics_makeimage reads it and refused as it
// refuses it; without (a badge, which shows no chart) it is not read.
// Throws ErrorAnswer with statistics_makeimage's messages.
ChartFigures statistics_figures(Request& request, bool like_chart = true);

// Loads the background for the request's when and draws the chart of the
// request's counter on it: the title, the counter's total, the period's
// total, the largest and smallest bar, the average and a bar per slot;
// the figures drawn go to `figures` when it is given. Changes nothing in
// the counter. Throws ErrorAnswer:
//   "Unknown when ('<when>')"
//   "Error, '<path>' file not found" / "Error, '<path>' is not a GIF picture"
GdImage statistics_makeimage(Request& request, ChartFigures* figures = nullptr);

}  // namespace vorn
