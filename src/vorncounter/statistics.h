// The bar chart answer of mode "stat": visits per month of a year, per day
// of a month or per hour of a day, drawn on a background picture.
#pragma once

#include <string>

#include <gd.h>

#include "vc.h"

namespace vorn {

// The charted period, cut from the request's date by position. Fields the
// date does not reach stay empty.
struct ST_TIME {
    std::string year;   // up to 4 characters
    std::string month;  // 2 characters or empty
    std::string day;    // 2 characters or empty
};

// Chooses and loads the background for vdb.when, draws the chart and
// writes the image header and the GIF. Changes nothing in the database.
// Failures end the process with the error image.
void statistics_makeimage(const VDB& vdb, const CGICONFIG& cgiconfig);

// Path of the background picture for vdb.when; answers
// "Unknown when ('%s')" for any other when (does not return).
const std::string& _statistics_loadrc(const VDB& vdb, const CGICONFIG& cgiconfig);

// Cuts `time` into year (characters 0-3), month (5-6) and day (8-9).
void _statistics_settime(ST_TIME& st_time, const std::string& time);

// Reads the counts and draws title, numbers and bars on `im_out`.
void _statistics_compute(const VDB& vdb, const ST_TIME& st_time, gdImagePtr im_out);

// "January" ... "December" for "01" ... "12"; "Unknown" otherwise.
const char* _statistics_returnmonth(const std::string& month);

// Days of the month (February: 29 when the year is divisible by 4).
int _statistics_returnimonth(const std::string& year, const std::string& month);

void _statistics_drawtitle(gdImagePtr im_out, const std::string& text);
void _statistics_drawstattext(gdImagePtr im_out, const std::string& total,
                              const std::string& this_, const std::string& max,
                              const std::string& min, const std::string& avg);
// Width 21 marks the average bar.
void _statistics_drawstick(gdImagePtr im_out, int num, int width, long height);

}  // namespace vorn
