// The counters of one site as vornctl reads and changes them: their files,
// their records and their sums. Every access of vornctl's commands to
// counter data goes through these few functions, which use the counter
// store layer (dbutil, compute) and so the same records and locks as
// vorncounter. Failures are thrown as ErrorAnswer (support_errormsg).
#pragma once

#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dbutil.h"

namespace vorn {

// Where a site keeps its counters: DIR_SAVE and DBFILE_EXT of
// conf/vc.conf in the working directory, each key's default when the key
// or the whole file is missing.
struct Site {
    std::string dir_save;
    std::string ext;
};

inline constexpr char kTotalKey[] = "totcnt";
inline constexpr char kStartDateKey[] = "startdate";

// The site of the working directory. An empty DIR_SAVE ("Configuration
// error. DIR_SAVE is empty (conf/vc.conf)") and a configuration file that is
// there but cannot be read are refused.
Site counters_site();

// The file of counter `name`: DIR_SAVE/NAME.DBFILE_EXT, as vorncounter
// builds it. A name that is empty, holds "/", ".." or a control character,
// or gives a path longer than vorncounter accepts is refused.
std::string counters_path(const Site& site, const std::string& name);

// The names of all counters of the site, sorted: the regular files of
// DIR_SAVE that end in ".DBFILE_EXT" and whose names counters_path accepts.
std::vector<std::string> counters_names(const Site& site);

// Refuses a counter whose file is not there: "no such counter 'NAME' (PATH)".
void counters_require(const std::string& name, const std::string& path);

// True for an hour key "%Y/%m/%d/%H" of a real calendar day.
bool counters_ishour(const std::string& key);

// A stored count: decimal digits only, at most 18 of them; nullopt for
// anything else.
std::optional<long long> counters_value(const std::string& text);

// Every record of a counter, read under one shared lock.
struct CounterData {
    std::optional<std::string> total;         // "totcnt" as stored
    std::optional<std::string> startdate;     // "startdate" as stored
    std::map<std::string, std::string> hours;  // hour key -> count as stored, ascending
    std::vector<DbRecord> others;             // every other record, and any not stored as text
};
CounterData counters_read(const std::string& path);

// The sums shown for a day, month and year, read as vorncounter's charts
// read them (one shared lock per day summed), by the local time of now.
struct Periods {
    long long today = 0;
    long long yesterday = 0;
    long long month = 0;
    long long year = 0;
    std::array<long long, 7> last7{};  // oldest first, today last
};
Periods counters_periods(const std::string& path);

// Creates the empty counter `name`, then sets its total when `total` is
// given and not 0 (as counters_settotal). Run as root, the new file gets the
// owner and group of DIR_SAVE. Refuses a counter that exists already.
void counters_create(const Site& site, const std::string& name, const std::string& path,
                     std::optional<long long> total);

// Removes the counter file and its journal under its writer lock.
void counters_delete(const std::string& path);

// Sets "totcnt" to `total` under the writer lock and answers the value it
// had. A counter without "startdate" gets the current hour as its start, so
// the chart and show have one (the first hit stores it only on a total of
// 1). The hour records are not touched.
std::optional<std::string> counters_settotal(const std::string& path, long long total);

// Adds each hour's count to that hour's record and the sum of all of them
// to "totcnt", as one change under one writer lock, and moves "startdate"
// back to the earliest hour added when it is missing or later. Every record
// it adds to must hold a count; a sum beyond 18 digits is refused. Answers
// the new total.
long long counters_addhours(const std::string& path, const std::map<std::string, long long>& hours);

// Writes the counter to `out` in gdbm's portable dump format (dbdump.h),
// read under its shared lock. An interrupted change is undone first (under
// the writer lock), as the next visit would, so the dump holds the counter
// as it stood before that change.
void counters_dump(const std::string& path, std::FILE* out);

// Puts the records of the dump read from `dump` in place of the counter at
// `path` (creating it when it is missing): the dump is loaded into a new
// file in DIR_SAVE, which takes the mode and owner of the file it replaces
// (of a new counter: as counters_create gives them) and then replaces it
// by one rename under the writer lock (dbutil_replace).
void counters_restore(const Site& site, const std::string& path, std::FILE* dump, const std::string& dumpname);

// `a` + `b`, or nullopt when the sum would pass 18 digits.
std::optional<long long> counters_add(long long a, long long b);

}  // namespace vorn
