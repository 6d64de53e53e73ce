// The gdbm store: one gdbm file per counter, DIR_SAVE/NAME.DBFILE_EXT, read
// and written through dbutil under the file's own lock, exactly as the
// counter always kept them. Its remembered visits are the gdbm files of
// visits.h beside the counters.
#pragma once

#include <memory>
#include <string>

#include "store.h"

namespace vorn {

// The store of the counter files in `dir_save` with the extension `ext`.
// An empty `dir_save` is refused ("Configuration error. DIR_SAVE is empty
// (conf/vc.conf)"): it would put the files at the root of the file system.
std::unique_ptr<CounterStore> gdbmstore_open(const std::string& dir_save, const std::string& ext);

// The counter `name` at the file `path`.
std::unique_ptr<Counter> gdbmstore_counter(const std::string& name, const std::string& path);

}  // namespace vorn
