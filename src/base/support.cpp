// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/support.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

namespace vorn {

namespace {

// Size of the buffer every time text is formed in, terminating zero included.
constexpr std::size_t kTimeBuffer = 255;
constexpr long kSecondsPerDay = 86400;

// `now` minus `ago` days, saturated at the ends of time_t instead of
// overflowing: a huge `ago` then gives a moment that cannot be broken down.
std::time_t days_back(std::time_t now, long ago) {
    constexpr std::time_t kMax = std::numeric_limits<std::time_t>::max();
    constexpr std::time_t kMin = std::numeric_limits<std::time_t>::min();
    std::time_t secs = 0;
    if (__builtin_mul_overflow(static_cast<std::time_t>(ago), kSecondsPerDay, &secs)) {
        return ago > 0 ? kMin : kMax;
    }
    std::time_t moment = 0;
    if (__builtin_sub_overflow(now, secs, &moment)) return secs > 0 ? kMin : kMax;
    return moment;
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
    const std::time_t the_time = days_back(clock.now(), ago);
    if (style == TimeStyle::kEpoch) return std::to_string(static_cast<long>(the_time));
    std::tm tm{};
    if (!clock.localtime(the_time, tm)) return "";
    if (style == TimeStyle::kTimeA) return format_time(is_morning(tm) ? "%Ir%Ma" : "%Ir%Mp", tm);
    if (style == TimeStyle::kAmPm) return is_morning(tm) ? "a" : "p";
    return format_time(style_format(style), tm);
}

}  // namespace vorn
