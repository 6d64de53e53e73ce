#include "statistics.h"

#include <gdfontg.h>
#include <gdfonts.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "compute.h"
#include "support.h"
#include "util.h"

namespace vorn {

namespace {

// Bars rise by up to this many pixels; the tallest bar of a chart is
// exactly this high and the others are scaled to it.
constexpr int kBarRange = 200;
constexpr int kBarWidth = 12;
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

// One bar of a chart: its position from the left and the key it counts.
struct Bar {
    int slot;
    std::string key;
};

}  // namespace

const std::string& _statistics_loadrc(const VDB& vdb, const CGICONFIG& cgiconfig) {
    if (vdb.when == "year") return cgiconfig.rc_imgyear;
    if (vdb.when == "month") return cgiconfig.rc_imgmonth;
    if (vdb.when == "day") return cgiconfig.rc_imgday;
    support_errormsg("Unknown when ('%s')", vdb.when.c_str());
}

void _statistics_settime(ST_TIME& st_time, const std::string& time) {
    std::size_t len = time.size();
    st_time.year = time.substr(0, 4);
    if (len <= 6) return;
    st_time.month = time.substr(5, 2);
    if (len <= 9) return;
    st_time.day = time.substr(8, 2);
}

const char* _statistics_returnmonth(const std::string& month) {
    static constexpr const char* kNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                             "July",    "August",   "September", "October", "November", "December"};
    static constexpr const char* kTexts[] = {"01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "12"};
    for (int i = 0; i < 12; ++i) {
        if (month == kTexts[i]) return kNames[i];
    }
    return "Unknown";
}

int _statistics_returnimonth(const std::string& year, const std::string& month) {
    if (month == "01" || month == "03" || month == "05" || month == "07" || month == "08" || month == "10" ||
        month == "12") {
        return 31;
    }
    // Every fourth year is a leap year here, centuries included.
    if (month == "02") return (util_tolong(year) % 4 == 0) ? 29 : 28;
    return 30;
}

void _statistics_compute(const VDB& vdb, const ST_TIME& st_time, gdImagePtr im_out) {
    // The all-time total is read first, whatever the period; a counter that
    // never recorded a hit has no total record and shows 0.
    std::string total = compute_gettotalcount(vdb).value_or("0");

    using Getter = std::string (*)(const VDB&, const std::string&);
    Getter bar_count = nullptr;
    Getter period_count = nullptr;
    std::vector<Bar> bars;
    std::string period;  // the period key
    int test_style = 0;  // present moment in the period key's shape
    int divisor_style = 0;
    long fixed_divisor = 0;
    int average_slot = 0;
    std::string title;

    if (vdb.when == "year") {
        for (int i = 1; i <= 12; ++i) {
            bars.push_back({i - 1, i <= 9 ? _statistics_format("%s/0%d", st_time.year.c_str(), i)
                                          : _statistics_format("%s/%d", st_time.year.c_str(), i)});
        }
        bar_count = compute_getmonthcount;
        period_count = compute_getyearcount;
        period = st_time.year;
        test_style = 15;
        divisor_style = 16;
        fixed_divisor = 12;
        average_slot = 12;
        title = _statistics_format("%s statistics", st_time.year.c_str());
    } else if (vdb.when == "month") {
        int days = _statistics_returnimonth(st_time.year, st_time.month);
        for (int i = 1; i <= days; ++i) {
            bars.push_back({i - 1, i <= 9 ? _statistics_format("%s/%s/0%d", st_time.year.c_str(),
                                                               st_time.month.c_str(), i)
                                          : _statistics_format("%s/%s/%d", st_time.year.c_str(),
                                                               st_time.month.c_str(), i)});
        }
        bar_count = compute_getdaycount;
        period_count = compute_getmonthcount;
        period = _statistics_format("%s/%s", st_time.year.c_str(), st_time.month.c_str());
        test_style = 6;
        divisor_style = 17;
        fixed_divisor = days;
        average_slot = 31;
        title = _statistics_format("%s, %s statistics", _statistics_returnmonth(st_time.month),
                                   st_time.year.c_str());
    } else if (vdb.when == "day") {
        for (int i = 0; i <= 23; ++i) {
            bars.push_back({i, i <= 9 ? _statistics_format("%s/%s/%s/0%d", st_time.year.c_str(),
                                                           st_time.month.c_str(), st_time.day.c_str(), i)
                                      : _statistics_format("%s/%s/%s/%d", st_time.year.c_str(),
                                                           st_time.month.c_str(), st_time.day.c_str(), i)});
        }
        bar_count = compute_gethourscount;
        period_count = compute_getdaycount;
        period = _statistics_format("%s/%s/%s", st_time.year.c_str(), st_time.month.c_str(),
                                    st_time.day.c_str());
        test_style = 4;
        divisor_style = 24;
        fixed_divisor = 24;
        average_slot = 24;
        title = _statistics_format("%s %s, %s statistics", _statistics_returnmonth(st_time.month),
                                   st_time.day.c_str(), st_time.year.c_str());
    } else {
        return;
    }

    // The bars in order; equal values keep the earlier bar as max and min.
    std::vector<std::string> data;
    std::vector<long> values;
    std::size_t max = 0, min = 0;
    for (const Bar& bar : bars) {
        data.push_back(bar_count(vdb, bar.key));
        values.push_back(util_tolong(data.back()));
        std::size_t i = values.size() - 1;
        if (values[i] > values[max]) max = i;
        if (values[i] < values[min]) min = i;
    }

    std::string this_ = period_count(vdb, period);
    long this_value = util_tolong(this_);

    // The current period is averaged over the part of it that has begun:
    // the months, days or hours so far. Hour 00 divides by nothing.
    long average = 0;
    if (support_returntime(test_style, 0) == period) {
        long divisor = util_tolong(support_returntime(divisor_style, 0));
        average = (divisor == 0) ? this_value : this_value / divisor;
    } else {
        average = this_value / fixed_divisor;
    }
    std::string avg = _statistics_format("%ld", average);

    _statistics_drawtitle(im_out, title);
    _statistics_drawstattext(im_out, total, this_, data[max], data[min], avg);

    long max_value = values[max];
    for (std::size_t i = 0; i < bars.size(); ++i) {
        _statistics_drawstick(im_out, bars[i].slot, kBarWidth, _statistics_barheight(values[i], max_value));
    }
    _statistics_drawstick(im_out, average_slot, kAverageBarWidth, _statistics_barheight(average, max_value));
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

void statistics_makeimage(const VDB& vdb, const CGICONFIG& cgiconfig) {
    const std::string& rc = _statistics_loadrc(vdb, cgiconfig);
    GdImage im_out;
    {
        FilePtr in = util_fopen(rc, "rb");
        if (!in) support_errormsg("Error, '%s' file not found", rc.c_str());
        im_out = support_readgif(in.get());
    }
    if (!im_out) support_errormsg("Error, '%s' is not a GIF picture", rc.c_str());

    ST_TIME st_time;
    _statistics_settime(st_time, vdb.date);
    _statistics_compute(vdb, st_time, im_out.get());
    support_writeimage(im_out.get());
}

}  // namespace vorn
