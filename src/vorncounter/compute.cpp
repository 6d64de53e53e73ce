#include "compute.h"

#include <gdbm.h>

#include <algorithm>
#include <climits>
#include <span>
#include <vector>

#include "dbutil.h"
#include "rules.h"
#include "support.h"
#include "util.h"

namespace vorn {

namespace {

constexpr char kTotalKey[] = "totcnt";
constexpr char kStartDateKey[] = "startdate";
constexpr char kAgoTotal[] = "total";  // the ago that records a hit
constexpr char kFirstCount[] = "1";
constexpr char kNoCount[] = "0";  // the total shown before the first hit

constexpr int kRead = 0;
constexpr int kWrite = 1;

constexpr int kStyleDay = 4;   // "%Y/%m/%d"
constexpr int kStyleHour = 5;  // "%Y/%m/%d/%H", the hour key

constexpr int kHoursPerDay = 24;
constexpr int kDaysPerMonth = 31;  // every month is summed over 31 days
constexpr int kMonthsPerYear = 12;

// Furthest a counter may look back or ahead, in days (about 10,000 years),
// so the clock is never asked for a moment it cannot express.
constexpr long kMaxAgoDays = 3650000;

// A date or time image style: the first letter of the request's style, the
// time style it shows, and its number of cells.
struct ImageStyle {
    char letter;
    int style;
    int stylelen;
};

constexpr ImageStyle kDateStyles[] = {
    {'a', 11, 10}, {'b', 12, 10}, {'c', 13, 10}, {'d', 14, 10}, {'e', 15, 4}, {'f', 16, 2}, {'g', 17, 2},
};
constexpr ImageStyle kTimeStyles[] = {
    {'a', 21, 6}, {'b', 22, 5}, {'c', 23, 2}, {'d', 24, 2}, {'e', 25, 2}, {'f', 26, 1},
};

const std::string& _compute_dbfile(const VDB& vdb) {
    static const std::string kNone;
    return vdb.dbfile ? *vdb.dbfile : kNone;
}

// Records one hit and answers the new total.
std::string _compute_recordhit(const VDB& vdb) {
    // The total, the hour record and, at the first hit, the start date
    // change together under one writing open: concurrent hits are
    // counted one after the other, and a hit is recorded whole or not
    // at all.
    dbutil_open(_compute_dbfile(vdb), kWrite);
    std::optional<std::string> tmp = dbutil_fetch("%s", kTotalKey);
    std::string count = tmp ? support_counterupdate(*tmp) : kFirstCount;
    std::string date = support_returntime(kStyleHour, 0);
    tmp = dbutil_fetch("%s", date.c_str());
    std::string daycount = tmp ? support_counterupdate(*tmp) : kFirstCount;
    std::vector<DbChange> visit = {{kTotalKey, count}, {date, daycount}};
    if (count == kFirstCount) visit.push_back({kStartDateKey, date});
    dbutil_update(visit);
    dbutil_close();
    return count;
}

// The key of part `n` of a period: "2001/03" and 9 give "2001/03/09",
// "2001/03/11" and 13 give "2001/03/11/13", matching the two-digit fields
// of the hour keys.
std::string _compute_subkey(const std::string& period, int n) {
    return period + (n <= 9 ? "/0" : "/") + std::to_string(n);
}

// Adds a count to a sum; a sum that would leave the 64-bit range stays at
// its end instead of wrapping.
long _compute_add(long sum, long count) {
    long result;
    if (__builtin_add_overflow(sum, count, &result)) return count < 0 ? LONG_MIN : LONG_MAX;
    return result;
}

void _compute_fillimage(const VDB& vdb, CNT& cnt, std::span<const ImageStyle> styles) {
    for (const ImageStyle& s : styles) {
        if (!vdb.style.empty() && vdb.style[0] == s.letter) {
            cnt.stylelen = s.stylelen;
            cnt.outstr = support_returntime(s.style, 0);
            return;
        }
    }
    support_errormsg("Unknown style ('%s')", vdb.style.c_str());
}

}  // namespace

void compute_count(const VDB& vdb, CNT& cnt, const CGICONFIG& cgiconfig) {
    if (vdb.ago == kAgoTotal) {
        // The admission holds a remembered visit until the hit is recorded;
        // a hit that fails is forgotten again, as a visit answered with the
        // error image is no visit.
        RulesAdmission admission = rules_admit(cgiconfig, _compute_dbfile(vdb));
        if (!admission.counts()) {
            cnt.outstr = compute_gettotalcount(vdb).value_or(kNoCount);
        } else {
            try {
                cnt.outstr = _compute_recordhit(vdb);
            } catch (...) {
                admission.undo();
                throw;
            }
        }
    } else {
        long ago = util_tolong(vdb.ago);
        if (ago > kMaxAgoDays || ago < -kMaxAgoDays) support_errormsg("ago out of range ('%s')", vdb.ago.c_str());
        cnt.outstr = _compute_getdaycount(vdb, support_returntime(kStyleDay, ago));
    }
    cnt.stylelen = static_cast<int>(std::clamp<long>(util_tolong(vdb.cntlen), INT_MIN, INT_MAX));
}

void compute_date(const VDB& vdb, CNT& cnt) { _compute_fillimage(vdb, cnt, kDateStyles); }

void compute_time(const VDB& vdb, CNT& cnt) { _compute_fillimage(vdb, cnt, kTimeStyles); }

std::optional<std::string> compute_gettotalcount(const VDB& vdb) {
    dbutil_open(_compute_dbfile(vdb), kRead);
    std::optional<std::string> total = dbutil_fetch("%s", kTotalKey);
    dbutil_close();
    return total;
}

std::string compute_getyearcount(const VDB& vdb, const std::string& year) { return _compute_getyearcount(vdb, year); }

std::string compute_getmonthcount(const VDB& vdb, const std::string& month) {
    return _compute_getmonthcount(vdb, month);
}

std::string compute_getdaycount(const VDB& vdb, const std::string& day) { return _compute_getdaycount(vdb, day); }

std::string compute_gethourscount(const VDB& vdb, const std::string& hour) {
    return _compute_gethourscount(vdb, hour);
}

std::string _compute_getyearcount(const VDB& vdb, const std::string& year) {
    long sum = 0;
    for (int month = 1; month <= kMonthsPerYear; ++month) {
        sum = _compute_add(sum, util_tolong(_compute_getmonthcount(vdb, _compute_subkey(year, month))));
    }
    return std::to_string(sum);
}

std::string _compute_getmonthcount(const VDB& vdb, const std::string& month) {
    // Each day is a read of its own (an open and a close), so a long sum
    // never keeps writers waiting for more than one day's fetches.
    long lcnt = 0;
    for (int day = 1; day <= kDaysPerMonth; ++day) {
        lcnt = _compute_add(lcnt, util_tolong(_compute_getdaycount(vdb, _compute_subkey(month, day))));
    }
    return std::to_string(lcnt);
}

std::string _compute_getdaycount(const VDB& vdb, const std::string& day) {
    long sum = 0;
    dbutil_open(_compute_dbfile(vdb), kRead);
    for (int hour = 0; hour < kHoursPerDay; ++hour) {
        std::optional<std::string> tmp = dbutil_fetch("%s", _compute_subkey(day, hour).c_str());
        if (tmp) sum = _compute_add(sum, util_tolong(*tmp));
    }
    dbutil_close();
    return std::to_string(sum);
}

std::string _compute_gethourscount(const VDB& vdb, const std::string& hour) {
    dbutil_open(_compute_dbfile(vdb), kRead);
    std::optional<std::string> tmp = dbutil_fetch("%s", hour.c_str());
    dbutil_close();
    return tmp.value_or("0");
}

}  // namespace vorn
