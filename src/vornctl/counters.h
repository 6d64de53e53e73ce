// SPDX-License-Identifier: GPL-3.0-or-later
// The counters of one site as vornctl reads and changes them: their
// records and their sums, in the store conf/vc.conf names (STORE). Every
// access of vornctl's commands to counter data goes through these few
// functions and the Counter of the store (store/store.h), and so through the
// same records and locks as vorncounter; none of them asks which store it
// has. Failures are thrown as ErrorAnswer.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/support.h"
#include "config/config.h"
#include "store/store.h"

namespace vorn {

// A site's counters: the keys of conf/vc.conf in the working directory
// (each key's default when the key or the whole file is missing) and the
// store they name.
struct Site {
    CGICONFIG config;
    std::shared_ptr<CounterStore> store;
};

// The site of the working directory, in the store STORE names. A
// configuration file that is there but cannot be read is refused, and so
// is whatever store_open refuses (an unknown STORE, an empty DIR_SAVE for
// the gdbm files, a bad REDIS_ADDR or an unreadable REDIS_PASSWORD_FILE).
// Nothing is opened or connected yet.
Site counters_site();

// The same site in the store `kind` ("gdbm" or "redis"), configured from the
// same keys: what copy reads from or writes to.
Site counters_site(const Site& site, const std::string& kind);

// The counter `name` of the site's store, existing or not. A name that is
// empty, holds a control character or begins or ends with a blank is
// refused, and so is one the store refuses ("/", "..", too long).
std::shared_ptr<Counter> counters_counter(const Site& site, const std::string& name);

// Refuses a counter that does not exist: "no such counter 'NAME' (WHERE)",
// WHERE being the file or the server and key (Counter::where).
void counters_require(Counter& counter);

// A stored count: decimal digits only, at most 18 of them; nullopt for
// anything else.
std::optional<long long> counters_value(const std::string& text);

// `a` + `b`, or nullopt when the sum would pass 18 digits.
std::optional<long long> counters_add(long long a, long long b);

// Every record of a counter, read at one moment.
struct CounterData {
    std::optional<std::string> total;          // "totcnt" as stored
    std::optional<std::string> startdate;      // "startdate" as stored
    std::map<std::string, std::string> hours;  // hour key -> count as stored, ascending
    std::vector<DbRecord> others;              // every other record, and any not stored as text
    std::size_t records = 0;                   // how many records there are in all
};
CounterData counters_read(Counter& counter);
// The same of records read already.
CounterData counters_data(const std::vector<DbRecord>& records);

// The sum of the counts in the hour records (those holding a count),
// stopping at the largest long long.
long long counters_hoursum(const CounterData& data);

// The sums shown for a day, month and year, read as vorncounter's charts
// read them, by the local time of `clock`.
struct Periods {
    long long today = 0;
    long long yesterday = 0;
    long long month = 0;
    long long year = 0;
    std::array<long long, 7> last7{};  // oldest first, today last
};
Periods counters_periods(Counter& counter, const Clock& clock);

// Creates the empty counter, then sets its total when `total` is given and
// not 0 (as counters_settotal). Refuses a counter that exists already:
// "counter 'NAME' already exists (WHERE)".
void counters_create(Counter& counter, std::optional<long long> total, const Clock& clock);

// Sets "totcnt" to `total` as one change and answers the value it had. A
// counter without "startdate" gets the hour of `clock` as its start, so the
// chart and show have one (the first hit stores it only on a total of 1).
// The hour records are not touched.
std::optional<std::string> counters_settotal(Counter& counter, long long total, const Clock& clock);

// Adds each hour's count to that hour's record and the sum of all of them
// to "totcnt", as one change, and moves "startdate" back to the earliest
// hour added when it is missing or later. Every record it adds to must hold
// a count; a sum beyond 18 digits is refused. Answers the new total.
long long counters_addhours(Counter& counter, const std::map<std::string, long long>& hours);

}  // namespace vorn
