// SPDX-License-Identifier: GPL-3.0-or-later
// The visits counted lately, for REPEAT_MINUTES and RATE_LIMIT: which
// visitor (and which address) was counted on which counter, and when.
//
// A visitor (its address and User-Agent) or an address is never stored:
// only a keyed hash of it (SipHash-2-4) under a random secret salt that is replaced at
// the first visit after each local midnight. Once the salt is replaced, the
// hashes kept under the old one can be tied to nobody, and each store drops
// them the next time it is opened. Entries are also dropped as their window
// ends, a bounded number per request.
//
// The gdbm store keeps, beside the counter files but apart from them:
//   DIR_SAVE/visits/salt        the day and the salt (mode 0600);
//   DIR_SAVE/visits/NAME.EXT    the visits of counter NAME (a gdbm file,
//                               mode 0600; the counter file is untouched).
// Both are made at the first request that needs them.
#pragma once

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/siphash.h"

namespace vorn {

// What a visit asks of the visits store: the rate limit of its address
// and the repeat window of its visitor, each only when its rule is set.
struct VisitsAsk {
    // RATE_LIMIT: at most `rate_limit` visits counted from `rate_identity`
    // (an address) in `rate_window` seconds.
    std::optional<std::string> rate_identity;
    long rate_limit = 0;
    std::time_t rate_window = 0;
    // REPEAT_MINUTES: `repeat_identity` (address and User-Agent) counted
    // once in `repeat_window` seconds.
    std::optional<std::string> repeat_identity;
    std::time_t repeat_window = 0;
};

enum class VisitsAnswer {
    kCounted,   // within both: the visit is remembered, and takes a step of the rate
    kOverRate,  // the address has had its visits of the window; nothing is written
    kRepeat,    // the visitor was counted within the window; nothing is written
};

// The visits of one counter, open for one request.
class VisitsStore {
public:
    virtual ~VisitsStore() = default;

    // Decides the visit of `ask` at `now`, the rate limit first, and when
    // it counts remembers it: the step of its address and the visitor's
    // moment. A visit stamped after `now` counts as within a window; a
    // visit that does not count leaves nothing behind, so a window runs
    // from the visits that were counted. Throws ErrorAnswer on failure.
    virtual VisitsAnswer admit(const VisitsAsk& ask, std::time_t now) = 0;

    // Undoes what the last admit that counted wrote; never fails (a
    // failure to write it back leaves the visit remembered).
    virtual void forget() noexcept = 0;
};

// How long visits_open waits for a store held by other requests.
inline constexpr std::chrono::milliseconds kVisitsWait{10000};

// Opens the gdbm store of the counter file `dbfile` (DIR/NAME.EXT) for the
// moment `now`, holding its lock alone until the store is destroyed; makes
// the directory, the salt and the store as needed and replaces a salt of
// another day. A store that is not a readable gdbm file is started anew
// (it holds nothing that cannot be lost). Throws ErrorAnswer on failure:
//   "Visits file error. Time out. Please, try again."  a lock stayed held;
//   "Visits file error. No random salt (<cause>)"      getrandom failed;
//   "Visits file error. <cause> (<path>)"              anything else.
std::unique_ptr<VisitsStore> visits_open(const std::string& dbfile, std::time_t now);

// Pieces every visits store shares, so the hashes are made alike whatever
// the store keeps them in:
// 16 fresh random bytes for a salt ("Visits file error. No random salt
// (<cause>)" when the system gives none; throws then);
SipHashKey visits_newsalt();
// a salt as the lower-case hex text of its 16 bytes, and back (nullopt for
// any other text);
std::string visits_salttext(const SipHashKey& salt);
std::optional<SipHashKey> visits_parsesalt(const std::string& text);
// the stored form of visitor `identity` on counter `counter`: the keyed
// hash under `salt`, as 16 hex digits.
std::string visits_hash(const SipHashKey& salt, const std::string& counter, const std::string& identity);

// Removes the visits the gdbm store keeps of `dbfile`, if any. A symbolic
// link in place of the visits directory is not followed. Throws ErrorAnswer on
// failure ("Visits file error. <cause> (<path>)").
void visits_remove(const std::string& dbfile);

// Where the gdbm store keeps the visits of `dbfile`, and the salt.
std::string visits_path(const std::string& dbfile);
std::string visits_saltpath(const std::string& dbfile);

}  // namespace vorn
