// The undo journal of a counter file.
//
// gdbm writes one record at a time, and a visit changes two or three
// records ("totcnt", the hour, "startdate"); a process that ends between
// two stores (SIGKILL from a web server whose client went away, a full
// disk) would leave the total and the hours disagreeing for good. So before
// a change is applied, the values its records hold (the before-images) and
// the values it writes (the after-images) are written in one piece to a
// journal file beside the counter file, PATH-journal, and the journal is
// removed once the last store is done. A journal found later belongs to a
// change that never finished: the next writer puts the before-images back
// (the change did not happen at all) and readers meanwhile see the
// before-images in place of what the file holds.
//
// The journal ends with a checksum: a journal cut short was being written
// when its process ended, before the counter file was touched, and counts
// as no journal. It is written and removed only under the file's exclusive
// lock. The counter file itself and its records are never changed by this.
#pragma once

#include <optional>
#include <string>
#include <vector>

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

// Writes the journal of `dbfile` whole (mode 0644 less the umask). Returns
// 0, or the errno of the failure, after which no journal is left behind.
int journal_write(const std::string& dbfile, const Journal& journal);

enum class JournalState { kNone, kIncomplete, kComplete };

// Reads the journal of `dbfile`. kNone: there is none (or it cannot be
// read); kIncomplete: a journal cut short or damaged, which guards nothing;
// kComplete: `journal` is filled.
JournalState journal_read(const std::string& dbfile, Journal& journal);

// Removes the journal; 0 when it is gone (or was never there), else errno.
int journal_remove(const std::string& dbfile);

// The journal's bytes and their reading, apart from the file, for the tests.
std::string _journal_encode(const Journal& journal);
JournalState _journal_decode(const std::string& bytes, Journal& journal);

}  // namespace vorn
