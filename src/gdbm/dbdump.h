// SPDX-License-Identifier: GPL-3.0-or-later
// Counter files in gdbm's portable dump format: the operator's backups.
//
// A dump is text (gdbm's ASCII format: a header, then each key and value in
// base64), independent of the machine's byte order and of gdbm's file
// layout, and Debian's gdbm_dump and gdbm_load read and write it too.
#pragma once

#include <cstdio>
#include <string>

#include "base/util.h"
#include "gdbm/dbutil.h"

namespace vorn {

// Writes the database `file` to `out` as a dump. A reader that shows an
// interrupted change undone (its overlay) is refused ("DB dump error. An
// interrupted change is not undone yet (<path>)"): open it for writing,
// which undoes the change, and dump then. Throws on failure ("DB dump
// error. <cause> (<path>)").
void dbdump_write(std::FILE* out, const DbFile& file);

// Largest dump dbdump_load reads.
inline constexpr std::size_t kMaxDump = 256u * 1024 * 1024;

// Loads every record of an ASCII dump read from `dump` into the new, empty
// file open on `fd` (named `filename`, which no other process knows; its
// mode and owner are the caller's to set), which gdbm takes over. The whole
// dump is checked first against the form gdbm writes: the heading line,
// header lines up to "# End of header", each key and value as "#:len=N" and
// base64 lines of exactly N bytes, "#:count=" with the number of records
// and "# End of data" last. gdbm's own reader accepts a dump cut short as an
// empty or partial database, and overreads its buffer on some malformed
// header lines, so it is given only the records of a dump that passes, under
// a header of our own: the dump's recorded file name, mode and owner are not
// used. On failure the file is removed ("DB load error. <cause> at line N
// (<dumpname>)"; throws ErrorAnswer).
void dbdump_load(UniqueFd fd, const std::string& filename, std::FILE* dump, const std::string& dumpname);

}  // namespace vorn
