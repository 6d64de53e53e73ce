// SPDX-License-Identifier: GPL-3.0-or-later
// Backups of a site's counters: one file per counter in gdbm's portable
// dump format (DIR/NAME.dump), each written from the counter read at one
// moment (under its lock on the gdbm files), and their restoring. The dumps
// of both stores are alike: a backup taken on one restores into either.
#pragma once

#include <string>
#include <vector>

#include "vornctl/counters.h"

namespace vorn {

inline constexpr char kDumpSuffix[] = ".dump";

// The dump file of counter `name` in the backup directory `dir`.
std::string backup_file(const std::string& dir, const std::string& name);

// The counter names of the dump files in `dir`, sorted.
std::vector<std::string> backup_names(const Site& site, const std::string& dir);

// Writes the dump of counter `name` into `dir` (created when missing, mode
// 0755 less the umask). The dump is written under a temporary name and
// renamed when complete, so DIR/NAME.dump is always a whole dump. Answers
// its path.
std::string backup_write(const Site& site, const std::string& dir, const std::string& name);

// Puts counter `name` back from its dump in `dir` (Counter::restore).
// Answers where the counter is (its file, or the server and key).
std::string backup_restore(const Site& site, const std::string& dir, const std::string& name);

}  // namespace vorn
