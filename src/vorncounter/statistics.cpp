// SPDX-License-Identifier: GPL-3.0-or-later
#include "vorncounter/statistics.h"

#include <gdfontg.h>
#include <gdfonts.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "base/util.h"
#include "counting/compute.h"

namespace vorn {

namespace {

// Bars rise by up to this many pixels; the tallest bar of a chart is
// exactly this high and the others are scaled to it.
constexpr int kBarRange = 200;
constexpr int kBarWidth = 12;
constexpr int kHoursPerDay = 24;
constexpr int kDaysPerMonth = 31;  // every month is read over 31 days
constexpr int kMonthsPerYear = 12;

// Width that marks the average bar: it stands five columns further right.
constexpr int kAverageBarWidth = 21;
constexpr int kSlotPitch = 14;
constexpr int kBarLeft = 8;
constexpr int kAverageBarLeft = 13;
constexpr int kAverageBarRight = 25;
// The bars stand on the row this far above the bottom edge.
constexpr int kBaseFromBottom = 25;

constexpr int kTitleX = 11;
constexpr int kTitleY = 7;
// The numbers column starts this far left of the right edge.
constexpr int kNumbersFromRight = 140;
constexpr int kNumbersTop = 45;
constexpr int kNumbersPitch = 32;

struct Rgb {
    int red, green, blue;
};
constexpr Rgb kTitleColor{240, 240, 240};
constexpr Rgb kTitleShadow{48, 48, 48};
constexpr Rgb kNumbersColor{0, 0, 0};
constexpr Rgb kBarBody{128, 128, 128};
constexpr Rgb kBarReflection{208, 208, 208};
constexpr Rgb kBarShadow{48, 48, 48};

// A palette entry to draw with. When the palette is full the nearest
// existing entry is borrowed instead; a borrowed entry belongs to the
// picture's own pixels and must never be released.
struct ChartColor {
    int index;
    bool allocated;
};

ChartColor _statistics_allocate(gdImagePtr im, const Rgb& rgb) {
    int index = gdImageColorAllocate(im, rgb.red, rgb.green, rgb.blue);
    if (index >= 0) return {index, true};
    return {gdImageColorClosest(im, rgb.red, rgb.green, rgb.blue), false};
}

void _statistics_release(gdImagePtr im, const ChartColor& color) {
    if (color.allocated) gdImageColorDeallocate(im, color.index);
}

void _statistics_string(gdImagePtr im, gdFontPtr font, int x, int y, const std::string& text, int color) {
    gdImageString(im, font, x, y, reinterpret_cast<unsigned char*>(const_cast<char*>(text.c_str())), color);
}

std::string _statistics_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string _statistics_format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

// value * 200 / max, truncated toward zero. The product is taken in 128
// bits, so it is exact for every count a long can hold (64-bit saturation
// would flatten the tallest bar of a huge counter), and the quotient
// saturates to long. A zero value, or a zero max (possible only when hits
// arrive while the chart is read), gives a flat bar.
long _statistics_barheight(long value, long max) {
    if (value == 0 || max == 0) return 0;
    __int128 height = static_cast<__int128>(value) * kBarRange / max;
    return static_cast<long>(std::clamp<__int128>(height, LONG_MIN, LONG_MAX));
}

// Path of the background picture for the request's when; answers
// "Unknown when ('%s')" for any other when.
const std::string& _statistics_loadrc(const Request& request) {
    const Parsed<When>& when = request.vdb.when;
    if (!when.value) support_errormsg("Unknown when ('%s')", when.text.c_str());
    switch (*when.value) {
        case When::kYear: return request.config.rc_imgyear;
        case When::kMonth: return request.config.rc_imgmonth;
        case When::kDay: break;
    }
    return request.config.rc_imgday;
}

// Cuts `time` into year (characters 0-3), month (5-6) and day (8-9).
void _statistics_settime(ST_TIME& st_time, const std::string& time) {
    std::size_t len = time.size();
    st_time.year = time.substr(0, 4);
    if (len <= 6) return;
    st_time.month = time.substr(5, 2);
    if (len <= 9) return;
    st_time.day = time.substr(8, 2);
}

// "January" ... "December" for "01" ... "12"; "Unknown" otherwise.
const char* _statistics_returnmonth(const std::string& month) {
    static constexpr const char* kNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                             "July",    "August",   "September", "October", "November", "December"};
    static constexpr const char* kTexts[] = {"01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "12"};
    for (int i = 0; i < 12; ++i) {
        if (month == kTexts[i]) return kNames[i];
    }
    return "Unknown";
}

// Days of the month (February: 29 when the year is divisible by 4).
int _statistics_returnimonth(const std::string& year, const std::string& month) {
    if (month == "01" || month == "03" || month == "05" || month == "07" || month == "08" || month == "10" ||
        month == "12") {
        return 31;
    }
    // Every fourth year is a leap year here, centuries included.
    if (month == "02") return (util_tolong(year) % 4 == 0) ? 29 : 28;
    return 30;
}

void _statistics_drawtitle(gdImagePtr im_out, const std::string& text) {
    ChartColor textcolor = _statistics_allocate(im_out, kTitleColor);
    ChartColor shadow = _statistics_allocate(im_out, kTitleShadow);
    _statistics_string(im_out, gdFontGiant, kTitleX + 1, kTitleY + 1, text, shadow.index);
    _statistics_string(im_out, gdFontGiant, kTitleX, kTitleY, text, textcolor.index);
}

void _statistics_drawstattext(gdImagePtr im_out, const std::string& total, const std::string& this_,
                              const std::string& max, const std::string& min, const std::string& avg) {
    int x = gdImageSX(im_out) - kNumbersFromRight;
    ChartColor textcolor = _statistics_allocate(im_out, kNumbersColor);
    const std::string* texts[] = {&total, &this_, &max, &min, &avg};
    int y = kNumbersTop;
    for (const std::string* text : texts) {
        _statistics_string(im_out, gdFontSmall, x, y, *text, textcolor.index);
        y += kNumbersPitch;
    }
}

// A bar of `height` pixels in slot `num`; width 21 marks the average bar.
void _statistics_drawstick(gdImagePtr im_out, int num, int width, long height) {
    ChartColor bgcolor = _statistics_allocate(im_out, kBarBody);
    ChartColor reflection = _statistics_allocate(im_out, kBarReflection);
    ChartColor shadow = _statistics_allocate(im_out, kBarShadow);

    int by = gdImageSY(im_out) - kBaseFromBottom;
    // Keep the top row within one row of the picture either way, so gd
    // never has to clip absurd coordinates; what lies outside is not drawn
    // anyhow.
    long room_above = static_cast<long>(by) + 1;
    long room_below = static_cast<long>(by) - gdImageSY(im_out);
    int ty = by - static_cast<int>(std::clamp(height, room_below, room_above));

    int tx = 0, bx = 0;
    if (width == kAverageBarWidth) {
        tx = kSlotPitch * num + kAverageBarLeft;
        bx = kSlotPitch * num + kAverageBarRight;
    } else {
        tx = kSlotPitch * num + kBarLeft;
        bx = tx + width;
    }

    gdImageFilledRectangle(im_out, tx, ty, bx, by, bgcolor.index);
    gdImageLine(im_out, tx, ty, tx, by, reflection.index);
    gdImageLine(im_out, tx, ty, bx, ty, reflection.index);
    gdImageLine(im_out, bx, ty + 1, bx, by, shadow.index);
    gdImageLine(im_out, tx, by + 1, bx, by + 1, shadow.index);

    _statistics_release(im_out, bgcolor);
    _statistics_release(im_out, reflection);
    _statistics_release(im_out, shadow);
}

// The counts of a chart, read from the counter at one moment (so the bars
// add up to the period's number while visits come in): the all-time total
// and the 24 hour records of each day the period covers.
struct ChartCounts {
    std::string total;
    std::vector<std::optional<std::string>> hours;  // 24 a day, in the order of the days

    ChartCounts(Counter& counter, const std::vector<std::string>& days) {
        std::vector<std::string> keys;
        keys.reserve(1 + days.size() * kHoursPerDay);
        // A counter that never recorded a hit has no total record and shows 0.
        keys.push_back(kTotalKey);
        for (const std::string& day : days) {
            for (int hour = 0; hour < kHoursPerDay; ++hour) keys.push_back(store_subkey(day, hour));
        }
        hours = counter.snapshot(keys);
        total = hours.front().value_or("0");
        hours.erase(hours.begin());
    }

    // The hour record of day `day`, hour `hour`, as it is stored ("0" for none).
    std::string hour(std::size_t day, int hour) const {
        return hours[day * kHoursPerDay + static_cast<std::size_t>(hour)].value_or("0");
    }

    // The hits of the days `first` to `first + count - 1`: each day's hour
    // records added, then the days, each sum saturating at the ends of long
    // (as a period's count is read alone).
    std::string sum(std::size_t first, std::size_t count) const {
        long sum = 0;
        for (std::size_t day = first; day < first + count; ++day) {
            long daysum = 0;
            for (int h = 0; h < kHoursPerDay; ++h) {
                const std::optional<std::string>& text = hours[day * kHoursPerDay + static_cast<std::size_t>(h)];
                if (text) daysum = util_addcount(daysum, util_tolong(*text));
            }
            sum = util_addcount(sum, daysum);
        }
        return std::to_string(sum);
    }
};

// Reads the counts of the request's chart.
ChartFigures _statistics_read(Request& request, const ST_TIME& st_time) {
    ChartFigures chart;
    std::vector<std::string> days;  // the days the period covers
    TimeStyle test_style{};         // present moment in the period key's shape
    TimeStyle divisor_style{};      // the part of the present period begun
    long fixed_divisor = 0;

    // Every month is read over 31 days; the days a month lacks have no
    // records and add nothing.
    switch (*request.vdb.when.value) {
        case When::kYear:
            chart.period = st_time.year;
            for (int month = 1; month <= kMonthsPerYear; ++month) {
                for (int day = 1; day <= kDaysPerMonth; ++day) {
                    days.push_back(store_subkey(store_subkey(chart.period, month), day));
                }
            }
            test_style = TimeStyle::kYear;
            divisor_style = TimeStyle::kMonthOfYear;
            fixed_divisor = kMonthsPerYear;
            chart.average_slot = 12;
            chart.title = _statistics_format("%s statistics", st_time.year.c_str());
            break;
        case When::kMonth:
            chart.period = _statistics_format("%s/%s", st_time.year.c_str(), st_time.month.c_str());
            for (int day = 1; day <= kDaysPerMonth; ++day) days.push_back(store_subkey(chart.period, day));
            test_style = TimeStyle::kMonth;
            divisor_style = TimeStyle::kDayOfMonth;
            fixed_divisor = _statistics_returnimonth(st_time.year, st_time.month);
            chart.average_slot = 31;
            chart.title = _statistics_format("%s, %s statistics", _statistics_returnmonth(st_time.month),
                                       st_time.year.c_str());
            break;
        case When::kDay:
            chart.period =
                _statistics_format("%s/%s/%s", st_time.year.c_str(), st_time.month.c_str(), st_time.day.c_str());
            days.push_back(chart.period);
            test_style = TimeStyle::kDay;
            divisor_style = TimeStyle::kHour24;
            fixed_divisor = kHoursPerDay;
            chart.average_slot = 24;
            chart.title = _statistics_format("%s %s, %s statistics", _statistics_returnmonth(st_time.month),
                                       st_time.day.c_str(), st_time.year.c_str());
            break;
    }

    const ChartCounts counts(*request.counter, days);
    // The bars in slot order: a year's months, a month's days (as many as
    // it has), a day's hour records as they are stored. Each is labelled
    // with its key: "2001/03", "2001/03/07", "2001/03/07/15".
    switch (*request.vdb.when.value) {
        case When::kYear:
            for (int month = 0; month < kMonthsPerYear; ++month) {
                chart.bars.push_back({store_subkey(chart.period, month + 1),
                                      counts.sum(static_cast<std::size_t>(month) * kDaysPerMonth, kDaysPerMonth)});
            }
            break;
        case When::kMonth:
            for (long day = 0; day < fixed_divisor; ++day) {
                chart.bars.push_back({days[static_cast<std::size_t>(day)], counts.sum(static_cast<std::size_t>(day), 1)});
            }
            break;
        case When::kDay:
            for (int hour = 0; hour < kHoursPerDay; ++hour) {
                chart.bars.push_back({store_subkey(chart.period, hour), counts.hour(0, hour)});
            }
            break;
    }
    chart.total = counts.total;
    chart.this_ = counts.sum(0, days.size());
    const long this_value = util_tolong(chart.this_);

    // Equal values keep the earlier bar as max and min.
    for (ChartBar& bar : chart.bars) {
        bar.value = util_tolong(bar.text);
        const std::size_t i = static_cast<std::size_t>(&bar - chart.bars.data());
        if (bar.value > chart.bars[chart.max].value) chart.max = i;
        if (bar.value < chart.bars[chart.min].value) chart.min = i;
    }

    // The current period is averaged over the part of it that has begun:
    // the months, days or hours so far. Hour 00 divides by nothing.
    if (support_returntime(request.clock, test_style, 0) == chart.period) {
        long divisor = util_tolong(support_returntime(request.clock, divisor_style, 0));
        chart.average = (divisor == 0) ? this_value : this_value / divisor;
    } else {
        chart.average = this_value / fixed_divisor;
    }
    return chart;
}

// Draws the title, numbers and bars of `chart` on `im_out`.
void _statistics_draw(const ChartFigures& chart, gdImagePtr im_out) {
    _statistics_drawtitle(im_out, chart.title);
    _statistics_drawstattext(im_out, chart.total, chart.this_, chart.bars[chart.max].text,
                             chart.bars[chart.min].text, _statistics_format("%ld", chart.average));

    // Bar i stands in slot i.
    const long max_value = chart.bars[chart.max].value;
    for (std::size_t i = 0; i < chart.bars.size(); ++i) {
        _statistics_drawstick(im_out, static_cast<int>(i), kBarWidth, _statistics_barheight(chart.bars[i].value, max_value));
    }
    _statistics_drawstick(im_out, chart.average_slot, kAverageBarWidth, _statistics_barheight(chart.average, max_value));
}

// Refuses the background `rc` when it could not be opened (`error`, its
// errno) or decoded (`decoded` false).
void _statistics_requirerc(const std::string& rc, int error, bool decoded) {
    if (error != 0) support_errormsg("Error, '%s' file not found", rc.c_str());
    if (!decoded) support_errormsg("Error, '%s' is not a GIF picture", rc.c_str());
}

}  // namespace

ChartFigures statistics_figures(Request& request, bool like_chart) {
    // Figures that stand for the chart: its background must be one the
    // chart could be drawn on, checked in the same order. A persistent
    // worker keeps it decoded; nothing is copied, as nothing is drawn.
    const std::string& rc = _statistics_loadrc(request);
    if (like_chart) {
        const auto found = vc_picture(request.worker, rc);
        _statistics_requirerc(rc, found.error, found.value != nullptr);
    }
    ST_TIME st_time;
    _statistics_settime(st_time, request.vdb.date);
    return _statistics_read(request, st_time);
}

GdImage statistics_makeimage(Request& request, ChartFigures* figures) {
    const std::string& rc = _statistics_loadrc(request);
    // The chart is drawn on a picture of its own: a background the worker
    // keeps stays as it is.
    OwnPicture found = vc_ownpicture(request.worker, rc);
    _statistics_requirerc(rc, found.error, found.image != nullptr);
    GdImage im_out = std::move(found.image);

    ST_TIME st_time;
    _statistics_settime(st_time, request.vdb.date);
    const ChartFigures chart = _statistics_read(request, st_time);
    _statistics_draw(chart, im_out.get());
    if (figures) *figures = chart;
    return im_out;
}

}  // namespace vorn
