// SPDX-License-Identifier: GPL-3.0-or-later
// The visits counted lately, for REPEAT_MINUTES: which visitor was counted
// on which counter, and when.
//
// A visitor (its address and User-Agent) is never stored: only a keyed
// hash of it (SipHash-2-4) under a random secret salt that is replaced at
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

#include "base/siphash.h"

namespace vorn {

// The visits of one counter, open for one request.
class VisitsStore {
public:
    virtual ~VisitsStore() = default;

    // True when the visitor `identity` was not counted on this counter in
    // the `window` seconds before `now` (a visit stamped after `now` counts
    // as within them): the visit is then remembered as counted at `now`.
    // False for a repeat, which is not remembered again, so a window runs
    // from the visit that was counted. Throws ErrorAnswer on failure.
    virtual bool remember(const std::string& identity, std::time_t now, std::time_t window) = 0;

    // Undoes the last remember that returned true; never fails (a failure
    // to write it back leaves the visit remembered).
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
