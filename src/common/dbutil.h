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

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct gdbm_file_info;

namespace vorn {

// Longest key that fetch and delete accept; a longer key is refused with
// the error image rather than cut, so it can never alias another record.
inline constexpr std::size_t kMaxKey = 1019;

// Longest file name the file systems of a site take (NAME_MAX).
inline constexpr std::size_t kMaxFileName = 255;

// Room a counter file's name leaves for the names derived from it: its
// journal ("-journal"), gdbm's scratch file of a recovery (six more
// characters) and the originals a recovery keeps (".damaged", then
// ".damaged-2" up to ".damaged-999").
inline constexpr std::size_t kDerivedNameRoom = 12;

// Longest counter name whose file NAME.EXT, and every file derived from
// it, fits kMaxFileName: 240 for the extension "db".
constexpr std::size_t dbutil_maxname(std::size_t ext_size) {
    return ext_size + 1 + kDerivedNameRoom >= kMaxFileName ? 0 : kMaxFileName - kDerivedNameRoom - 1 - ext_size;
}

// How long dbutil_open waits for a lock held elsewhere before it answers
// "DB open error. Time out. Please, try again.".
inline constexpr std::chrono::milliseconds kOpenWait{10000};

// The owner a new file is given.
struct FileOwner {
    uid_t uid = 0;
    gid_t gid = 0;
};

// Creates an empty database (block size 1024, mode 0644 less the umask),
// given to `owner` when one is named. Returns 1 when it was created, 0
// when something is already at the name (a file, or a symbolic link, which
// is never followed) or the file cannot be created, with errno telling why.
// Does not touch the open handle and never ends the request.
int dbutil_create(const std::string& filename, const std::optional<FileOwner>& owner = std::nullopt);

// Opens `filename` for reading (stat 0, shared lock) or writing (stat 1,
// exclusive lock), waiting up to kOpenWait for a lock held elsewhere.
// Opening for writing also finishes what an interrupted writer left: its
// journaled change is undone, and a file gdbm marks as needing recovery is
// recovered as dbutil_recover does (the damaged file is kept beside it as
// NAME.damaged). Does not
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

// Maintenance of whole counter files, for the operator's tool. Each call
// below that names a file takes that file's lock itself, like dbutil_open,
// and answers the same open errors; none of them leaves a database open.

// One record as dbutil_walk shows it: key and value as texts (each up to its
// first zero byte), and whether both were stored as this layer stores texts
// (their characters and exactly one terminating zero byte).
struct DbRecord {
    std::string key;
    std::string value;
    bool text = true;
};

// Calls `visit` once for every record of the open database, in gdbm's order
// (unsorted), as dbutil_fetch would show them: in a reader, the
// before-images of an interrupted change take the place of what the file
// holds. A record that cannot be read answers "DB Error!! (%s)" (does not
// return). `visit` must not change the database.
void dbutil_walk(const std::function<void(const DbRecord&)>& visit);

// True when the open database has an interrupted change that is shown
// undone to this reader (a writer's open has undone it already).
bool dbutil_interrupted();

enum class DbHealth {
    kSound,
    kNeedsRecovery,  // gdbm marks it: a writer ended while extending the file
    kDamaged,        // a list of free space, a bucket or a record is unreadable
};
struct DbInspection {
    DbHealth health = DbHealth::kSound;
    std::string cause;  // gdbm's text of what it found, unless sound
};

// Looks at the structure of `filename` under its shared lock and changes
// nothing: gdbm's mark of a file that needs recovery, its lists of free
// space (gdbm_avail_verify), and every bucket and record through a full
// walk of the keys. A file gdbm cannot open at all is answered with the open
// error of dbutil_open (does not return).
DbInspection dbutil_inspect(const std::string& filename);

// What a recovery kept and lost (gdbm's own counts) and where the original
// file was kept.
struct DbRecovery {
    std::size_t kept_records = 0;
    std::size_t kept_buckets = 0;
    std::size_t lost_records = 0;
    std::size_t lost_buckets = 0;
    std::size_t duplicates = 0;
    std::string original;
};

// Rebuilds `filename` under its writer lock with gdbm's recovery
// (gdbm_recover, forced): every record gdbm can still reach is copied into
// a new file that takes the old one's name, and waiting processes open the
// new file. The original is first hard-linked as NAME.damaged (or
// NAME.damaged-2, -3, ... when that name is taken) and stays there. A
// writer's dbutil_open recovers a file marked as needing it the same way.
// Does not return on failure ("DB open error. <cause> (<filename>)"), after
// which the file is as it was and no copy is left.
DbRecovery dbutil_recover(const std::string& filename);

// Removes the counter file `filename` and its journal under its writer
// lock: a change in progress finishes first, and processes that wait for
// the file then find it gone. Does not return on failure ("DB remove error.
// <cause> (<filename>)").
void dbutil_remove(const std::string& filename);

// Puts the database file `replacement` (in the same directory) in the place
// of `filename` by one rename, under the old file's writer lock when there
// is one, and removes the old file's journal first. Processes that wait for
// the old file then open the new one. Does not return on failure ("DB
// replace error. <cause> (<filename>)").
void dbutil_replace(const std::string& filename, const std::string& replacement);

// The gdbm handle of the open database (null when none is open), for the
// store layer's own modules (dbdump) only.
gdbm_file_info* _dbutil_gdbmfile();

// Answers "DB Error!! (%s)" with gdbm's text for the current error. Does
// not return.
[[noreturn]] void _dbutil_error();

}  // namespace vorn
