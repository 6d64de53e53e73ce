// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/support.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

namespace vorn {

namespace {

// Size of the buffer every time text is formed in, terminating zero included.
constexpr std::size_t kTimeBuffer = 255;
// More days than lie between the first and the last year a tm can hold: a
// step this long lands outside them, and a shorter one overflows nothing
// below.
constexpr long long kMaxDaysStep = 2'000'000'000'000;

// The days from 1 January 1970 to the date `year`-`month`-`day` of the
// proleptic Gregorian calendar (negative before), in whole 400-year eras
// and the days into the era from 1 March, so that a leap day comes last.
long long days_from_civil(long long year, int month, int day) {
    if (month <= 2) --year;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long year_of_era = year - era * 400;
    const long long day_of_year = (153LL * ((month + 9) % 12) + 2) / 5 + day - 1;
    const long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

struct CivilDate {
    long long year;
    int month;  // 1 to 12
    int day;    // 1 to 31
};

// The date `days` days after 1 January 1970: days_from_civil undone.
CivilDate civil_from_days(long long days) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long day_of_era = days - era * 146097;
    const long long year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int shifted_month = static_cast<int>((5 * day_of_year + 2) / 153);  // 0 is March
    const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const int month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    return {era * 400 + year_of_era + (month <= 2 ? 1 : 0), month, day};
}

// `tm`, a local date and clock time, moved `ago` days back in the calendar
// (forward for a negative `ago`): the date `ago` days before, whatever the
// zone's clock did in between (a change of its offset, or a whole day it
// skipped, whose date is still one of the days counted), at the same clock
// time. False, with `tm` unchanged, when that date lies outside the years a
// tm can hold.
bool days_back(std::tm& tm, long ago) {
    if (ago > kMaxDaysStep || ago < -kMaxDaysStep) return false;
    const long long days = days_from_civil(tm.tm_year + 1900LL, tm.tm_mon + 1, tm.tm_mday) - ago;
    const CivilDate date = civil_from_days(days);
    if (date.year - 1900 < std::numeric_limits<int>::min() || date.year - 1900 > std::numeric_limits<int>::max()) {
        return false;
    }
    tm.tm_year = static_cast<int>(date.year - 1900);
    tm.tm_mon = date.month - 1;
    tm.tm_mday = date.day;
    tm.tm_wday = static_cast<int>((days % 7 + 11) % 7);  // 1 January 1970 was a Thursday
    tm.tm_yday = static_cast<int>(days - days_from_civil(date.year, 1, 1));
    tm.tm_isdst = -1;  // the zone's, whichever it is at that date and time
    return true;
}

// The moment of the local date and clock time `tm` (mktime's answer for a
// clock time the zone skipped that day), or the end of time_t in the
// direction of `ago` for one that has none, so that a huge `ago` neither
// overflows nor names a moment on the wrong side.
std::time_t moment_of(std::tm tm, bool dated, long ago) {
    constexpr int kUnset = -1;
    tm.tm_wday = kUnset;  // mktime sets it only on success
    const std::time_t moment = dated ? std::mktime(&tm) : 0;
    if (dated && tm.tm_wday != kUnset) return moment;
    return ago > 0 ? std::numeric_limits<std::time_t>::min() : std::numeric_limits<std::time_t>::max();
}

std::string format_time(const char* format, const std::tm& tm) {
    char buff[kTimeBuffer];
    std::size_t n = std::strftime(buff, sizeof buff, format, &tm);
    return std::string(buff, n);
}

bool is_morning(const std::tm& tm) { return format_time("%p", tm) == "AM"; }

// strftime formats of the styles that are plain formats; null where the
// style is formed otherwise.
const char* style_format(TimeStyle style) {
    switch (style) {
        case TimeStyle::kLong: return "%B %d, %Y (%I:%M %p)";
        case TimeStyle::kClock12: return "%I:%M %p";
        case TimeStyle::kClock24: return "%H:%M";
        case TimeStyle::kDate: return "%B %d, %Y";
        case TimeStyle::kDay: return "%Y/%m/%d";
        case TimeStyle::kHour: return "%Y/%m/%d/%H";
        case TimeStyle::kMonth: return "%Y/%m";
        case TimeStyle::kDateA: return "%mh%dh%Y";
        case TimeStyle::kDateB: return "%Yh%mh%d";
        case TimeStyle::kDateC: return "%mh%dm%Y";
        case TimeStyle::kDateD: return "%Ym%mh%d";
        case TimeStyle::kYear: return "%Y";
        case TimeStyle::kMonthOfYear: return "%m";
        case TimeStyle::kDayOfMonth: return "%d";
        case TimeStyle::kTimeB: return "%Hr%M";
        case TimeStyle::kHour12: return "%I";
        case TimeStyle::kHour24: return "%H";
        case TimeStyle::kMinute: return "%M";
        case TimeStyle::kTimeA:
        case TimeStyle::kAmPm:
        case TimeStyle::kEpoch: return nullptr;
    }
    return nullptr;
}

}  // namespace

void support_errormsg(const char* msg, ...) {
    // vsnprintf cuts a longer message to kMaxErrorMessage bytes, so the
    // error image's width formula holds for every message.
    char buff[kMaxErrorMessage + 1];
    va_list args;
    va_start(args, msg);
    int n = std::vsnprintf(buff, sizeof buff, msg, args);
    va_end(args);
    if (n < 0) buff[0] = '\0';
    throw ErrorAnswer(buff);
}

bool Clock::localtime(std::time_t t, std::tm& out) const { return localtime_r(&t, &out) != nullptr; }

std::string support_returntime(const Clock& clock, TimeStyle style, long ago) {
    std::tm tm{};
    const bool broken_down = clock.localtime(clock.now(), tm);
    if (style == TimeStyle::kEpoch && ago == 0) return std::to_string(static_cast<long>(clock.now()));
    const bool dated = broken_down && (ago == 0 || days_back(tm, ago));
    if (style == TimeStyle::kEpoch) return std::to_string(static_cast<long>(moment_of(tm, dated, ago)));
    if (!dated) return "";
    if (style == TimeStyle::kTimeA) return format_time(is_morning(tm) ? "%Ir%Ma" : "%Ir%Mp", tm);
    if (style == TimeStyle::kAmPm) return is_morning(tm) ? "a" : "p";
    return format_time(style_format(style), tm);
}

}  // namespace vorn
