#include "compute.h"

#include <algorithm>
#include <climits>
#include <span>
#include <vector>

#include "rules.h"
#include "store.h"
#include "support.h"
#include "util.h"

namespace vorn {

namespace {

constexpr char kTotalKey[] = "totcnt";
constexpr char kAgoTotal[] = "total";  // the ago that records a hit
constexpr char kNoCount[] = "0";  // the total shown before the first hit

constexpr int kStyleDay = 4;   // "%Y/%m/%d"
constexpr int kStyleHour = 5;  // "%Y/%m/%d/%H", the hour key

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

// The counter the request reads and records in: the one main chose, or,
// for a record filled by hand, the gdbm file `dbfile`.
Counter& _compute_counter(const VDB& vdb, std::unique_ptr<Counter>& own) {
    if (vdb.counter) return *vdb.counter;
    own = store_gdbmcounter(vdb.dbfile.value_or(""));
    return *own;
}

// The key of part `n` of a period: "2001/03" and 9 give "2001/03/09",
// "2001/03/11" and 13 give "2001/03/11/13", matching the two-digit fields
// of the hour keys.
std::string _compute_subkey(const std::string& period, int n) {
    return period + (n <= 9 ? "/0" : "/") + std::to_string(n);
}

// The hits of `days` together, read through the store: one read per day of
// the gdbm file, as always, or one round trip to a Redis server.
std::string _compute_sumdays(const VDB& vdb, const std::vector<std::string>& days) {
    std::unique_ptr<Counter> own;
    long sum = 0;
    for (long daysum : _compute_counter(vdb, own).daysums(days)) sum = util_addcount(sum, daysum);
    return std::to_string(sum);
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
        std::unique_ptr<Counter> own;
        Counter& counter = _compute_counter(vdb, own);
        RulesAdmission admission = rules_admit(cgiconfig, counter);
        if (!admission.counts()) {
            cnt.outstr = compute_gettotalcount(vdb).value_or(kNoCount);
        } else {
            try {
                // The total, the hour record and, at the first hit, the
                // start date change together, as one step of the store.
                cnt.outstr = counter.visit(support_returntime(kStyleHour, 0));
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
    std::unique_ptr<Counter> own;
    return _compute_counter(vdb, own).get(kTotalKey);
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
    std::vector<std::string> days;
    for (int month = 1; month <= kMonthsPerYear; ++month) {
        for (int day = 1; day <= kDaysPerMonth; ++day) days.push_back(_compute_subkey(_compute_subkey(year, month), day));
    }
    return _compute_sumdays(vdb, days);
}

std::string _compute_getmonthcount(const VDB& vdb, const std::string& month) {
    // Every month is summed over 31 days; the days a month lacks have no
    // records and add nothing.
    std::vector<std::string> days;
    for (int day = 1; day <= kDaysPerMonth; ++day) days.push_back(_compute_subkey(month, day));
    return _compute_sumdays(vdb, days);
}

std::string _compute_getdaycount(const VDB& vdb, const std::string& day) { return _compute_sumdays(vdb, {day}); }

std::string _compute_gethourscount(const VDB& vdb, const std::string& hour) {
    std::unique_ptr<Counter> own;
    return _compute_counter(vdb, own).get(hour).value_or("0");
}

}  // namespace vorn
