// SPDX-License-Identifier: GPL-3.0-or-later
// The undo journal of a counter file.
//
// gdbm writes one record at a time, and a visit changes two or three
// records ("totcnt", the hour, "startdate"); a process that ends between
// two stores (SIGKILL from a web server whose client went away, a full
// disk) would leave the total and the hours disagreeing for good. So before
// a change is applied, the values its records hold (the before-images) and
// the values it writes (the after-images) are written in one piece to a
// journal file beside the counter file, PATH-journal, and the journal is
// emptied once the last store is done. The file itself stays, so a visit
// neither creates nor removes a file. A journal found holding a change
// belongs to a change that never finished: the next writer puts the
// before-images back (the change did not happen at all) and readers
// meanwhile see the before-images in place of what the file holds.
//
// The journal ends with a checksum: a journal cut short was being written
// when its process ended, before the counter file was touched, and counts
// as no journal. It is written and emptied only under the file's exclusive
// lock. The counter file itself and its records are never changed by this.
//
// The journal is a regular file of its own: a symbolic link, or a file with
// more than one name, is never written through, so a writer run as root
// cannot be led to write a file elsewhere.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "base/util.h"

namespace vorn {

// One record a change writes: its value before, and the value it stores
// (nullopt: the record is absent before, or the change removes it).
struct JournalEntry {
    std::string key;
    std::optional<std::string> before;
    std::optional<std::string> after;
};
using Journal = std::vector<JournalEntry>;

// Largest journal read back; a larger file is taken as damaged.
inline constexpr std::size_t kMaxJournal = 256u * 1024 * 1024;

// The journal's path for the counter file `dbfile`.
std::string journal_path(const std::string& dbfile);

// The journal file of a change in progress, open for writing.
struct JournalFile {
    UniqueFd fd;
    int error = 0;  // when fd is not open: the errno that tells why
};

// Writes the journal of `dbfile` whole, into its journal file, which is
// created when missing (mode 0644 less the umask; given to `owner_uid` and
// `owner_gid`, the counter file's owner, when run as root, so that the web
// server can go on using it). Fails with the errno of the failure, after
// which the journal file is empty: ELOOP for a symbolic link, EMLINK for a
// file of several names, EINVAL for anything else that is no regular file.
JournalFile journal_write(const std::string& dbfile, const Journal& journal, uid_t owner_uid, gid_t owner_gid);

enum class JournalState { kNone, kIncomplete, kComplete };

// Reads the journal of `dbfile`. kNone: there is none, it is empty (no
// change in progress) or it cannot be read; kIncomplete: a journal cut
// short or damaged, which guards nothing; kComplete: `journal` is filled.
JournalState journal_read(const std::string& dbfile, Journal& journal);

// Ends the change the journal guarded: empties the journal file (through
// `fd`, the descriptor journal_write gave, when it is open), or removes it
// when it cannot be emptied. 0 when it is empty or gone, else the errno of
// the removal.
int journal_clear(const std::string& dbfile, UniqueFd fd = UniqueFd());

// Removes the journal; 0 when it is gone (or was never there), else errno.
int journal_remove(const std::string& dbfile);

}  // namespace vorn
