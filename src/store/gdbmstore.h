// SPDX-License-Identifier: GPL-3.0-or-later
// The gdbm store: one gdbm file per counter, DIR_SAVE/NAME.DBFILE_EXT, read
// and written through dbutil under the file's own lock, exactly as the
// counter always kept them. Its remembered visits are the gdbm files of
// store/visits.h beside the counters.
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace vorn {

// Longest counter file path (DIR_SAVE/NAME.EXT) a request may name.
inline constexpr std::size_t kMaxDbPath = 254;

// The store of the counter files in `dir_save` with the extension `ext`.
// With an empty `dir_save` every counter and the list of them are refused
// ("Configuration error. DIR_SAVE is empty (conf/vc.conf)", after a name
// that is refused anyway): it would put the files at the root of the file
// system.
std::unique_ptr<CounterStore> gdbmstore_open(const std::string& dir_save, const std::string& ext);

}  // namespace vorn
