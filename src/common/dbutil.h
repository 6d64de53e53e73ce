// The one access layer to counter databases (gdbm files).
//
// At most one database is open per process, in a module-private handle.
// Keys and values are texts stored with their terminating zero byte, so
// "totcnt" is a 7-byte key. Every failure but those of create and delete
// raises the error image through support_errormsg (which does not return).
//
// Locks: readers share a file, a writer holds it alone (filelock.h). A held
// lock is waited for, up to kOpenWait; a failure that waiting cannot cure
// (no file, no permission, not a database) is answered at once.
//
// A change of several records (dbutil_update) is written whole or not at
// all, whatever ends the process (journal.h), and never fails half-way for
// lack of disk space: the space it may need is reserved before it starts.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// Longest key that fetch and delete accept; a longer key is refused with
// the error image rather than cut, so it can never alias another record.
inline constexpr std::size_t kMaxKey = 1019;

// How long dbutil_open waits for a lock held elsewhere before it answers
// "DB open error. Time out. Please, try again.".
inline constexpr std::chrono::milliseconds kOpenWait{10000};

// Creates an empty database (block size 1024, mode 0644). Returns 1 when
// it was created, 0 when the file is already there or cannot be created.
// Does not touch the open handle and never ends the request.
int dbutil_create(const std::string& filename);

// Opens `filename` for reading (stat 0, shared lock) or writing (stat 1,
// exclusive lock), waiting up to kOpenWait for a lock held elsewhere.
// Opening for writing also finishes what an interrupted writer left: its
// journaled change is undone, and a file gdbm marks as needing recovery is
// recovered (the damaged file is kept beside it as NAME.damaged). Does not
// return on failure:
//   "DB open error. Time out. Please, try again."  the lock stayed held;
//   "DB open error. <cause> (<filename>)"          anything else.
void dbutil_open(const std::string& filename, int stat);

// Closes the open database. Does not return on failure.
void dbutil_close();

// Closes the open database, if any, without reporting anything: the error
// path and the end of a request use it so no lock outlives its request.
void dbutil_reset();

// Value stored under the key formatted from `str`, or nullopt when there
// is no record. Any other failure of the read answers "DB Error!! (%s)".
// Pass a complete key text as the argument of "%s", never as the format.
std::optional<std::string> dbutil_fetch(const char* str, ...) __attribute__((format(printf, 1, 2)));

// Stores `content` under `key` (both used as they are) with the gdbm flag
// GDBM_INSERT or GDBM_REPLACE. Does not return on failure.
void dbutil_store(const std::string& key, const std::string& content, int flag);

// Deletes the record under the formatted key: 0 when removed, -1 when
// there was none or it could not be removed.
int dbutil_delete(const char* str, ...) __attribute__((format(printf, 1, 2)));

// One record of a change: the value to store, or nullopt to remove it.
struct DbChange {
    std::string key;
    std::optional<std::string> value;
};

// Applies `changes` to the database open for writing as one change: every
// record or none, also when the process is killed at any instant. Before
// anything is written the old values are journaled and the disk space the
// stores may need is reserved; a failure there ("DB write error. <cause>
// (<path>)") leaves the file as it was. Does not return on failure.
void dbutil_update(const std::vector<DbChange>& changes);

// Answers "DB Error!! (%s)" with gdbm's text for the current error. Does
// not return.
[[noreturn]] void _dbutil_error();

}  // namespace vorn
