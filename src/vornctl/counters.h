// The counters of one site as vornctl reads and changes them: their
// records and their sums, in the store conf/vc.conf names (STORE). Every
// access of vornctl's commands to counter data goes through these few
// functions, which use the counter store (store.h, and compute for the sums)
// and so the same records and locks as vorncounter. Only what is about files
// by nature (a new file's owner, backing up and restoring a gdbm file as it
// is) looks at which store a counter is in. Failures are thrown as
// ErrorAnswer (support_errormsg).
#pragma once

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dbutil.h"
#include "store.h"
#include "vc.h"

namespace vorn {

// A site's counters: the store keys of conf/vc.conf in the working
// directory (each key's default when the key or the whole file is missing)
// and the store they name.
struct Site {
    STORECONFIG config;
    std::shared_ptr<CounterStore> store;
    CGICONFIG cgiconfig;  // every key of conf/vc.conf, or its default
};

inline constexpr char kTotalKey[] = "totcnt";
inline constexpr char kStartDateKey[] = "startdate";
inline constexpr char kGdbmStore[] = "gdbm";
inline constexpr char kRedisStore[] = "redis";

// The site of the working directory, in the store STORE names. A
// configuration file that is there but cannot be read is refused, and so
// is whatever store_open refuses (an unknown STORE, an empty DIR_SAVE for
// the gdbm files, a bad REDIS_ADDR or an unreadable REDIS_PASSWORD_FILE).
// Nothing is opened or connected yet.
Site counters_site();

// The same site in the store `kind` ("gdbm" or "redis"), configured from the
// same keys: what copy reads from or writes to.
Site counters_site(const Site& site, const std::string& kind);

// Whether the site's counters are the gdbm files of DIR_SAVE.
bool counters_onfiles(const Site& site);

// The counter `name` of the site's store, existing or not. A name that is
// empty or holds "/", ".." or a control character is refused, and so is one
// the store refuses (a gdbm path longer than vorncounter accepts, a Redis
// name longer than kMaxRedisName).
std::shared_ptr<Counter> counters_counter(const Site& site, const std::string& name);

// The gdbm file of `counter` (DIR_SAVE/NAME.DBFILE_EXT, as vorncounter builds
// it), or nullopt when the site's store is not the gdbm files.
std::optional<std::string> counters_file(const Site& site, const Counter& counter);

// The names of all counters of the site, sorted (the counter files of
// DIR_SAVE, or the set of counter names on the Redis server).
std::vector<std::string> counters_names(const Site& site);

// Whether the counter exists: its file is there, or its name is in the set.
bool counters_exists(const Site& site, Counter& counter);

// Refuses a counter that does not exist: "no such counter 'NAME' (WHERE)",
// WHERE being the file or the server and key (Counter::where).
void counters_require(const Site& site, Counter& counter);

// True for an hour key "%Y/%m/%d/%H" of a real calendar day.
bool counters_ishour(const std::string& key);

// A stored count: decimal digits only, at most 18 of them; nullopt for
// anything else.
std::optional<long long> counters_value(const std::string& text);

// Every record of a counter, read at one moment (under one shared lock of
// the gdbm file; one command on the server).
struct CounterData {
    std::optional<std::string> total;         // "totcnt" as stored
    std::optional<std::string> startdate;     // "startdate" as stored
    std::map<std::string, std::string> hours;  // hour key -> count as stored, ascending
    std::vector<DbRecord> others;             // every other record, and any not stored as text
    std::size_t records = 0;                  // how many records there are in all
};
CounterData counters_read(Counter& counter);
// The same of records read already.
CounterData counters_data(const std::vector<DbRecord>& records);

// The sums shown for a day, month and year, read as vorncounter's charts
// read them (on the gdbm files one shared lock per day summed), by the local
// time of now.
struct Periods {
    long long today = 0;
    long long yesterday = 0;
    long long month = 0;
    long long year = 0;
    std::array<long long, 7> last7{};  // oldest first, today last
};
Periods counters_periods(const std::shared_ptr<Counter>& counter);

// Creates the empty counter, then sets its total when `total` is given and
// not 0 (as counters_settotal). Run as root, a new counter file gets the
// owner and group of DIR_SAVE. Refuses a counter that exists already:
// "counter 'NAME' already exists (WHERE)".
void counters_create(const Site& site, Counter& counter, std::optional<long long> total);

// Removes the counter and everything kept for it (Counter::remove: on the
// gdbm files its file, journal and remembered visits under its writer lock).
void counters_delete(Counter& counter);

// Sets "totcnt" to `total` as one change and answers the value it had. A
// counter without "startdate" gets the current hour as its start, so the
// chart and show have one (the first hit stores it only on a total of 1).
// The hour records are not touched.
std::optional<std::string> counters_settotal(Counter& counter, long long total);

// Adds each hour's count to that hour's record and the sum of all of them
// to "totcnt", as one change, and moves "startdate" back to the earliest
// hour added when it is missing or later. Every record it adds to must hold
// a count; a sum beyond 18 digits is refused. Answers the new total.
long long counters_addhours(Counter& counter, const std::map<std::string, long long>& hours);

// Writes the counter to `out` in gdbm's portable dump format (dbdump.h),
// read at one moment. A gdbm file is dumped as it is, under its shared lock,
// after an interrupted change is undone (under the writer lock), as the next
// visit would. A counter in another store is written as the dump of a gdbm
// file holding its records as vorncounter stores them, so either store's
// restore reads it; its header names a scratch file, not a counter file.
void counters_dump(const Site& site, Counter& counter, std::FILE* out);

// Puts the records of the dump read from `dump` in place of the counter
// (creating it when it is missing). The whole dump is checked before
// anything changes. On the gdbm files it is loaded into a new file in
// DIR_SAVE, which takes the mode and owner of the file it replaces (of a new
// counter: as counters_create gives them) and then replaces it by one rename
// under the writer lock (dbutil_replace). In another store the counter's
// records become the dump's as one change; a dump record not stored as text
// (which only a gdbm file can hold) is refused there.
void counters_restore(const Site& site, Counter& counter, std::FILE* dump, const std::string& dumpname);

// Makes the records of the existing `counter` exactly `records` (keys
// unique) as one change: the ones it lacks or holds otherwise are written,
// the ones not among `records` are removed (but for records not stored as
// text, which only a gdbm file holds and no change can name: they stay, as
// the counter ignores them). The counter is read first; when
// a visit or change came between that read and the change, the change is
// not made and the counter read again (a few times, then refused: "counter
// 'NAME' kept changing; try again").
void counters_replace(Counter& counter, const std::vector<DbRecord>& records);

// The sum of the counts in the hour records (those holding a count),
// stopping at the largest long long.
long long counters_hoursum(const CounterData& data);

// Refuses a record that a store of texts cannot hold as it is: one not
// stored as text, or holding a zero byte. `what` names where it is from.
void counters_requiretext(const DbRecord& record, const std::string& what);

// `a` + `b`, or nullopt when the sum would pass 18 digits.
std::optional<long long> counters_add(long long a, long long b);

}  // namespace vorn
