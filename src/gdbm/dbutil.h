// SPDX-License-Identifier: GPL-3.0-or-later
// The one access layer to counter databases (gdbm files).
//
// A counter file is opened as a DbFile, which owns its lock and its gdbm
// handle: readers share a file, a writer holds it alone (gdbm/filelock.h),
// and closing the DbFile (dbutil_close, or its destructor while an error
// unwinds) releases both. Keys and values are texts stored with their
// terminating zero byte, so "totcnt" is a 7-byte key. Failures are thrown
// as ErrorAnswer with the message of the error image.
//
// A held lock is waited for, up to kOpenWait; a failure that waiting cannot
// cure (no file, no permission, not a database, a symbolic link) is
// answered at once. A change of several records (DbTransaction) is written
// whole or not at all, whatever ends the process (gdbm/journal.h), and never
// fails half-way for lack of disk space: the space it may need is reserved
// before it starts.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <gdbm.h>

#include "base/util.h"
#include "gdbm/journal.h"

namespace vorn {

// Longest key a fetch accepts; a longer key is refused rather than cut, so
// it can never alias another record.
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

// How long an open waits for a lock held elsewhere before it answers
// "DB open error. Time out. Please, try again.".
inline constexpr std::chrono::milliseconds kOpenWait{10000};

// Owner of a gdbm handle; closes it (and the descriptor gdbm holds).
struct GdbmCloser {
    void operator()(GDBM_FILE dbf) const { gdbm_close(dbf); }
};
using GdbmHandle = std::unique_ptr<std::remove_pointer_t<GDBM_FILE>, GdbmCloser>;

// A gdbm call that failed: gdbm's error number.
struct GdbmFailure {
    int error;
};

// The text stored under `key` in `dbf`, nullopt when there is none. A read
// that fails for any other reason (a damaged bucket, a read error) throws
// GdbmFailure, never answers an absent record. A record written by another
// program without its zero byte ends at its size.
std::optional<std::string> dbutil_get(GDBM_FILE dbf, const std::string& key);

// Stores `value` under `key` in `dbf`, or removes the record when `value`
// is absent (an absent record is no failure). Throws GdbmFailure.
void dbutil_put(GDBM_FILE dbf, const std::string& key, const std::optional<std::string>& value);

// The owner a new file is given.
struct FileOwner {
    uid_t uid = 0;
    gid_t gid = 0;
};

// Creates an empty database (block size 1024, mode 0644 less the umask),
// given to `owner` when one is named. Returns 1 when it was created, 0
// when something is already at the name (a file, or a symbolic link, which
// is never followed) or the file cannot be created, with errno telling why.
// Never throws.
int dbutil_create(const std::string& filename, const std::optional<FileOwner>& owner = std::nullopt);

// kReadMany: a reader of thousands of records (a chart), for which gdbm
// maps the file into memory rather than reading each record with calls of
// its own.
enum class DbMode { kRead, kReadMany, kWrite };

// An open counter file: the lock of the file and gdbm's handle on it. A
// reader also holds the before-images of an interrupted change, which it
// shows in place of what the file holds (a writer's open undoes the change
// instead).
class DbFile {
public:
    DbFile() = default;
    DbFile(DbFile&&) noexcept = default;
    DbFile& operator=(DbFile&& other) noexcept;
    DbFile(const DbFile&) = delete;
    DbFile& operator=(const DbFile&) = delete;
    ~DbFile() { close(); }

    bool is_open() const { return static_cast<bool>(handle_); }
    const std::string& path() const { return path_; }
    DbMode mode() const { return mode_; }
    GDBM_FILE handle() const { return handle_.get(); }
    // The before-images shown in place of an interrupted change; empty when
    // there is none (always for a writer).
    const std::map<std::string, std::optional<std::string>>& overlay() const { return overlay_; }

    // Closes the file. A writer's lock is let go before gdbm's closing
    // sync: the next visitor need not wait for the disk, and what it reads
    // is the same file either way.
    void close();

private:
    friend DbFile dbutil_open(const std::string& filename, DbMode mode);
    friend GdbmHandle dbutil_closelater(DbFile& file);
    GdbmHandle handle_;
    std::string path_;
    DbMode mode_ = DbMode::kRead;
    std::map<std::string, std::optional<std::string>> overlay_;
};

// Opens `filename` for reading (shared lock) or writing (exclusive lock),
// waiting up to kOpenWait for a lock held elsewhere. Opening for writing
// also finishes what an interrupted writer left: its journaled change is
// undone, and a file gdbm marks as needing recovery is recovered as
// dbutil_recover does. Throws:
//   "DB open error. Time out. Please, try again."  the lock stayed held;
//   "DB open error. <cause> (<filename>)"          anything else.
DbFile dbutil_open(const std::string& filename, DbMode mode);

// Closes `file` now (the same as letting it go out of scope).
void dbutil_close(DbFile& file);

// Closes a written `file` but for gdbm's closing sync: its lock is let go
// at once and the returned handle, never used again, flushes the file to
// disk when it is destroyed. A visit leaves the sync until its answer has
// gone out, so the visitor never waits for the disk.
GdbmHandle dbutil_closelater(DbFile& file);

// Value stored under `key`, or nullopt when there is none; what a reader
// shows of an interrupted change is its before-image. A key longer than
// kMaxKey answers "DB key too long (N characters, at most 1019)"; any other
// failure of the read "DB Error!! (<cause>)".
std::optional<std::string> dbutil_fetch(const DbFile& file, const std::string& key);

// One record of a change: the value to store, or nullopt to remove it.
struct DbChange {
    std::string key;
    std::optional<std::string> value;
};

// A change of several records of a file open for writing, as one step:
// every record or none, also when the process is killed at any instant.
// Construction journals the old values and reserves the disk space the
// stores may need ("DB write error. <cause> (<path>)" leaves the file as it
// was); commit() writes the records and empties the journal. A transaction
// destroyed uncommitted, or whose commit failed, puts the old values back,
// or, when even that fails, leaves them to the next writer.
class DbTransaction {
public:
    DbTransaction(DbFile& file, const std::vector<DbChange>& changes);
    ~DbTransaction();
    DbTransaction(const DbTransaction&) = delete;
    DbTransaction& operator=(const DbTransaction&) = delete;

    // Writes the change. Throws "DB Error!! (<cause>)" when a store fails.
    void commit();

private:
    DbFile& file_;
    Journal journal_;
    UniqueFd guard_;  // the journal file, open while it guards the change
    bool writing_ = false;
    bool done_ = false;
};

// The change `changes` as one transaction, committed.
void dbutil_update(DbFile& file, const std::vector<DbChange>& changes);

// One record as dbutil_walk shows it: key and value as texts (each up to its
// first zero byte), and whether both were stored as this layer stores texts
// (their characters and exactly one terminating zero byte).
struct DbRecord {
    std::string key;
    std::string value;
    bool text = true;
};

// Calls `visit` once for every record of `file`, in gdbm's order
// (unsorted), as dbutil_fetch shows them. A record that cannot be read
// answers "DB Error!! (%s)". `visit` must not change the database.
void dbutil_walk(const DbFile& file, const std::function<void(const DbRecord&)>& visit);

// Maintenance of whole counter files, for the operator's tool. Each call
// takes the file's lock itself, like dbutil_open, answers the same open
// errors, and leaves nothing open.

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
// space, and every bucket and record through a full walk of the keys.
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

// Rebuilds `filename` under its writer lock with gdbm's recovery, forced:
// every record gdbm can still reach is copied into a new file that takes
// the old one's name. The original is first hard-linked as NAME.damaged (or
// NAME.damaged-2, -3, ...) and stays there ("DB recover error. <cause>
// (<that name>)" when it cannot be). On failure the file is as it was.
DbRecovery dbutil_recover(const std::string& filename);

// Removes the counter file `filename` and its journal under its writer
// lock: a change in progress finishes first, and processes that wait for
// the file then find it gone ("DB remove error. <cause> (<filename>)").
void dbutil_remove(const std::string& filename);

// Puts the database file `replacement` (in the same directory) in the place
// of `filename` by one rename, under the old file's writer lock when there
// is one, and removes the old file's journal first ("DB replace error.
// <cause> (<filename>)").
void dbutil_replace(const std::string& filename, const std::string& replacement);

}  // namespace vorn
