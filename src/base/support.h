// SPDX-License-Identifier: GPL-3.0-or-later
// How a request fails, and the clock and time texts of the whole system.
//
// A failure is raised where it is understood, as ErrorAnswer with the
// message its error image shows, and answered at the top: the counter
// program draws the error image, vornctl prints the message. Everything the
// request opened is closed by its owner while the exception unwinds.
//
// The time texts are formed from a Clock, the moment a request is answered,
// which the request carries: every text of one request is of the same
// moment.
#pragma once

#include <ctime>
#include <exception>
#include <string>

namespace vorn {

// The product, its version and its release date, as the programs name them.
inline constexpr char kProgramName[] = "VornCounter";
inline constexpr char kProgramVersion[] = "2.0.0 beta1";
inline constexpr char kProgramDate[] = "March 11, 2001";

// Longest error message; longer ones are cut to this many bytes.
inline constexpr std::size_t kMaxErrorMessage = 1019;

// The failure a request ends in: the message its error image shows.
class ErrorAnswer : public std::exception {
public:
    explicit ErrorAnswer(std::string message) : message_(std::move(message)) {}
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Ends the request with the formatted message (cut to kMaxErrorMessage
// bytes): throws ErrorAnswer and never returns. Request values must only
// ever be arguments, never `msg`.
[[noreturn]] void support_errormsg(const char* msg, ...) __attribute__((format(printf, 1, 2)));

// The moment a request is answered, and how it is broken down into the
// local calendar.
class Clock {
public:
    explicit Clock(std::time_t now) : now_(now) {}
    // The system's present moment.
    static Clock system() { return Clock(std::time(nullptr)); }

    std::time_t now() const { return now_; }
    // `t` in the local calendar of the process; false when `t` cannot be
    // broken down.
    bool localtime(std::time_t t, std::tm& out) const;

private:
    std::time_t now_;
};

// The numbered time styles: each the text of a moment in one shape.
enum class TimeStyle {
    kLong = 0,          // "%B %d, %Y (%I:%M %p)"
    kClock12 = 1,       // "%I:%M %p"
    kClock24 = 2,       // "%H:%M"
    kDate = 3,          // "%B %d, %Y"
    kDay = 4,           // "%Y/%m/%d": a day key, and the default chart date
    kHour = 5,          // "%Y/%m/%d/%H": the hour key a visit is counted in
    kMonth = 6,         // "%Y/%m"
    kDateA = 11,        // "%mh%dh%Y"
    kDateB = 12,        // "%Yh%mh%d"
    kDateC = 13,        // "%mh%dm%Y"
    kDateD = 14,        // "%Ym%mh%d"
    kYear = 15,         // "%Y"
    kMonthOfYear = 16,  // "%m"
    kDayOfMonth = 17,   // "%d"
    kTimeA = 21,        // "%Ir%M" and "a" or "p"
    kTimeB = 22,        // "%Hr%M"
    kHour12 = 23,       // "%I"
    kHour24 = 24,       // "%H"
    kMinute = 25,       // "%M"
    kAmPm = 26,         // "a" or "p"
    kEpoch = 31,        // seconds since 1970
};

// The present moment of `clock` as text in `style`, or, for an `ago` other
// than 0, the same clock time on the local date `ago` calendar days earlier
// (later for a negative `ago`): steps of dates, not of 86,400 s, so a day
// that a change of the zone's offset made longer or shorter, or a day the
// zone skipped, still counts as one day, and the day text of `ago` N is the
// date N days back. The epoch style gives that date and clock time as
// mktime takes it. A date beyond the years a tm holds gives an empty text
// (for the epoch style, the end of time_t in its direction). Never fails.
std::string support_returntime(const Clock& clock, TimeStyle style, long ago);

}  // namespace vorn
