// SPDX-License-Identifier: GPL-3.0-or-later
// Moving a counter between the two stores of a site: `vornctl copy NAME
// --to redis|gdbm` copies every record of the counter from the store it is
// not named for into the one it is, then checks the copy by its totals.
#pragma once

#include <string>

#include "vornctl/counters.h"

namespace vorn {

// What a copy wrote: where from and where to, and the totals both sides
// were found to have.
struct CopyResult {
    std::string from;                  // the source (its file, or the server and key)
    std::string to;                    // the target
    std::optional<std::string> total;  // "totcnt" as stored
    long long hours = 0;               // the sum of the hour records (counters_hoursum)
    std::size_t records = 0;           // every record, also the foreign ones
    bool replaced = false;             // the target existed and was overwritten
};

// Copies counter `name` into the store `to` ("gdbm" or "redis") from the
// site's other store, both configured from the site's keys (DIR_SAVE and
// DBFILE_EXT; REDIS_ADDR, REDIS_PREFIX, REDIS_PASSWORD_FILE), whatever STORE
// names. The source is read at one moment (under its shared lock on the
// gdbm files) and is not changed. A target that exists is refused ("counter
// 'NAME' already exists (WHERE); copy --replace overwrites it") unless
// `replace`; otherwise it is created (a new file gets the owner of DIR_SAVE
// when run as root) and written as one change (store_replace). Then the
// target is read back: its "totcnt", the sum of its hours and its number of
// records must be the source's, else the copy is refused as not matching
// (the target stays as written, for a look). A record not stored as text is
// refused before anything is written. Throws ErrorAnswer on failure.
CopyResult copy_counter(const Site& site, const std::string& name, const std::string& to, bool replace);

}  // namespace vorn
