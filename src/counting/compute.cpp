// SPDX-License-Identifier: GPL-3.0-or-later
#include "counting/compute.h"

#include <span>
#include <vector>

#include "base/util.h"

namespace vorn {

namespace {

constexpr char kNoCount[] = "0";  // the total shown before the first hit

constexpr int kDaysPerMonth = 31;  // every month is summed over 31 days
constexpr int kMonthsPerYear = 12;

// The date and time picture styles by their letter.
struct LetterStyle {
    char letter;
    ImageStyle style;
};
constexpr LetterStyle kDateStyles[] = {
    {'a', {TimeStyle::kDateA, 10}}, {'b', {TimeStyle::kDateB, 10}}, {'c', {TimeStyle::kDateC, 10}},
    {'d', {TimeStyle::kDateD, 10}}, {'e', {TimeStyle::kYear, 4}},   {'f', {TimeStyle::kMonthOfYear, 2}},
    {'g', {TimeStyle::kDayOfMonth, 2}},
};
constexpr LetterStyle kTimeStyles[] = {
    {'a', {TimeStyle::kTimeA, 6}},  {'b', {TimeStyle::kTimeB, 5}},  {'c', {TimeStyle::kHour12, 2}},
    {'d', {TimeStyle::kHour24, 2}}, {'e', {TimeStyle::kMinute, 2}}, {'f', {TimeStyle::kAmPm, 1}},
};

std::optional<ImageStyle> _compute_style(std::span<const LetterStyle> styles, char letter) {
    for (const LetterStyle& s : styles) {
        if (s.letter == letter) return s.style;
    }
    return std::nullopt;
}

// The hits of `days` together, read through the store.
std::string _compute_sumdays(Counter& counter, const std::vector<std::string>& days) {
    long sum = 0;
    for (long daysum : counter.daysums(days)) sum = util_addcount(sum, daysum);
    return std::to_string(sum);
}

}  // namespace

std::optional<ImageStyle> compute_datestyle(char letter) { return _compute_style(kDateStyles, letter); }

std::optional<ImageStyle> compute_timestyle(char letter) { return _compute_style(kTimeStyles, letter); }

COUNTED compute_count(Counter& counter, std::optional<long> days_back, bool peek, const CGICONFIG& config,
                      const VISITOR& visitor, const Clock& clock, FileCache<std::vector<std::string>>* bots) {
    if (days_back) {
        return {compute_getdaycount(counter, support_returntime(clock, TimeStyle::kDay, *days_back)), Uncounted::kPast};
    }
    if (peek) return {compute_gettotalcount(counter).value_or(kNoCount), Uncounted::kPeek};
    // The admission holds a remembered visit until the hit is recorded; a
    // hit that fails is forgotten again, as a visit answered with the error
    // image is no visit.
    RulesAdmission admission = rules_admit(config, visitor, counter, clock.now(), bots);
    if (!admission.counts()) return {compute_gettotalcount(counter).value_or(kNoCount), admission.why()};
    try {
        // The total, the hour record and, at the first hit, the start date
        // change together, as one step of the store.
        return {counter.visit(support_returntime(clock, TimeStyle::kHour, 0)), std::nullopt};
    } catch (...) {
        admission.undo();
        throw;
    }
}

CNT compute_date(const ImageStyle& style, const Clock& clock) {
    return CNT{support_returntime(clock, style.style, 0), style.cells};
}

std::optional<std::string> compute_gettotalcount(Counter& counter) { return counter.get(kTotalKey); }

std::string compute_getyearcount(Counter& counter, const std::string& year) {
    std::vector<std::string> days;
    for (int month = 1; month <= kMonthsPerYear; ++month) {
        for (int day = 1; day <= kDaysPerMonth; ++day) days.push_back(store_subkey(store_subkey(year, month), day));
    }
    return _compute_sumdays(counter, days);
}

std::string compute_getmonthcount(Counter& counter, const std::string& month) {
    // Every month is summed over 31 days; the days a month lacks have no
    // records and add nothing.
    std::vector<std::string> days;
    for (int day = 1; day <= kDaysPerMonth; ++day) days.push_back(store_subkey(month, day));
    return _compute_sumdays(counter, days);
}

std::string compute_getdaycount(Counter& counter, const std::string& day) { return _compute_sumdays(counter, {day}); }

std::string compute_gethourscount(Counter& counter, const std::string& hour) {
    return counter.get(hour).value_or(kNoCount);
}

}  // namespace vorn
