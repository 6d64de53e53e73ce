// SPDX-License-Identifier: GPL-3.0-or-later
#include "gdbm/dbutil.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>

#include "base/support.h"
#include "gdbm/filelock.h"
#include "gdbm/journal.h"

namespace vorn {

namespace {

constexpr int kCreateBlockSize = 1024;
constexpr int kCreateMode = 0644;
constexpr int kOpenBlockSize = 0;  // gdbm reads it from the file

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

// The datum of a text: its characters and the terminating zero byte.
datum _dbutil_datum(const std::string& text) {
    return datum{const_cast<char*>(text.c_str()), static_cast<int>(text.size() + 1)};
}

// The system's text of `error`, where a symbolic link that is not followed
// (ELOOP of O_NOFOLLOW) is called what it is.
const char* _dbutil_cause(int error) { return error == ELOOP ? "Is a symbolic link" : std::strerror(error); }

[[noreturn]] void _dbutil_openerror(const char* cause, const std::string& filename) {
    support_errormsg("DB open error. %s (%s)", cause, filename.c_str());
}

[[noreturn]] void _dbutil_writeerror(int error, const std::string& path) {
    support_errormsg("DB write error. %s (%s)", _dbutil_cause(error), path.c_str());
}

[[noreturn]] void _dbutil_error(int error) { support_errormsg("DB Error!! (%s)", gdbm_strerror(error)); }

[[noreturn]] void _dbutil_journalerror(int error, const std::string& dbfile) {
    support_errormsg("DB journal error. %s (%s): vornctl repair clears it", _dbutil_cause(error),
                     journal_path(dbfile).c_str());
}

// Reserves, past the end of the file, the disk space that storing
// `journal`'s after-images may take, so that the stores cannot fail half-way
// on a full disk (which would leave the file in need of recovery). The
// bound: data blocks for the new records, bucket splits, and directory
// doublings, which write a new directory twice the size. The reservation
// does not change the file's size; the space is used as gdbm extends the
// file, and kept for later changes. Returns 0 or the errno of a failure.
int _dbutil_reserve(GDBM_FILE dbf, const Journal& journal) {
    const int fd = gdbm_fdesc(dbf);
    struct stat st {};
    if (fstat(fd, &st) != 0) return errno;
    int block = 0, depth = 0;
    gdbm_setopt(dbf, GDBM_GETBLOCKSIZE, &block, sizeof block);
    gdbm_setopt(dbf, GDBM_GETDIRDEPTH, &depth, sizeof depth);
    off_t data = 0;
    for (const JournalEntry& e : journal) data += static_cast<off_t>(e.key.size() + (e.after ? e.after->size() : 0) + 2);
    const off_t directory = static_cast<off_t>(sizeof(off_t)) << std::min(depth, 40);
    const off_t reserve = 4 * directory + 2 * data + (16 + static_cast<off_t>(journal.size()) / 4) * block;
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, st.st_size + reserve) == 0) return 0;
    // A file system that cannot reserve space is written as before.
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return 0;
    return errno;
}

// Writes each entry's before-image (`undo`) or after-image. Throws
// GdbmFailure.
void _dbutil_apply(GDBM_FILE dbf, const Journal& journal, bool undo) {
    for (const JournalEntry& e : journal) dbutil_put(dbf, e.key, undo ? e.before : e.after);
}

// True when every record of `journal` holds its before- or its
// after-image: the journal belongs to this file's last change. A journal
// left beside a file that was since deleted and created anew does not
// match, and is not applied to the new file.
bool _dbutil_journalmatches(GDBM_FILE dbf, const Journal& journal) {
    for (const JournalEntry& e : journal) {
        std::optional<std::string> now = dbutil_get(dbf, e.key);
        if (now != e.before && now != e.after) return false;
    }
    return true;
}

// The name the damaged original of `filename` is kept under.
std::string _dbutil_damagedname(const std::string& filename) {
    std::string name = filename + ".damaged";
    for (int n = 2; access(name.c_str(), F_OK) == 0; ++n) name = filename + ".damaged-" + std::to_string(n);
    return name;
}

// Takes the lock of `filename`, waiting up to kOpenWait. A missing file is
// answered as a descriptor that is not open when `missing_ok`. Throws on
// any other failure.
UniqueFd _dbutil_lock(const std::string& filename, bool writer, bool missing_ok = false) {
    FileLock lock = filelock_acquire(filename, writer, std::chrono::steady_clock::now() + kOpenWait);
    if (lock.result == FileLockResult::kTimedOut) support_errormsg("DB open error. Time out. Please, try again.");
    if (lock.result == FileLockResult::kFailed && !(missing_ok && lock.error == ENOENT)) {
        _dbutil_openerror(_dbutil_cause(lock.error), filename);
    }
    return std::move(lock.fd);
}

// Takes the lock of `filename` and opens gdbm on the locked descriptor with
// `flags` (the open mode and options; gdbm does not lock again).
GdbmHandle _dbutil_lockedopen(const std::string& filename, int flags) {
    UniqueFd fd = _dbutil_lock(filename, (flags & GDBM_OPENMASK) != GDBM_READER);
    GDBM_FILE dbf = gdbm_fd_open(fd.get(), filename.c_str(), kOpenBlockSize, flags | GDBM_NOLOCK, nullptr);
    if (!dbf) _dbutil_openerror(gdbm_strerror(gdbm_errno), filename);
    fd.release();  // gdbm closes it with the handle
    return GdbmHandle(dbf);
}

// Rebuilds the file of `dbf`, open for writing under its lock, with gdbm's
// recovery: gdbm copies every record it can reach into a new file that then
// takes the old one's name, and holds that file under its own exclusive
// lock until the handle is closed. The damaged file is first linked under
// a name of its own, so nothing is lost and the counter's name never
// stands empty. The recovery is forced: even a file whose structure gdbm
// finds sound is rebuilt, so the kept name always holds the original alone.
DbRecovery _dbutil_recover(GDBM_FILE dbf, const std::string& filename) {
    DbRecovery result;
    result.original = _dbutil_damagedname(filename);
    if (link(filename.c_str(), result.original.c_str()) != 0) {
        support_errormsg("DB recover error. %s (%s)", std::strerror(errno), result.original.c_str());
    }
    gdbm_recovery rcvr{};
    if (gdbm_recover(dbf, &rcvr, GDBM_RCVR_FORCE) != 0) {
        const int error = gdbm_errno;
        unlink(result.original.c_str());  // the file was left as it was
        _dbutil_openerror(gdbm_strerror(error), filename);
    }
    result.kept_records = rcvr.recovered_keys;
    result.kept_buckets = rcvr.recovered_buckets;
    result.lost_records = rcvr.failed_keys;
    result.lost_buckets = rcvr.failed_buckets;
    result.duplicates = rcvr.duplicate_keys;
    return result;
}

// What an interrupted writer left beside `file`: a writer undoes its
// change, a reader is shown the before-images.
void _dbutil_finishjournal(const std::string& path, GDBM_FILE dbf, bool writer,
                           std::map<std::string, std::optional<std::string>>& overlay) {
    Journal journal;
    const JournalState state = journal_read(path, journal);
    if (state == JournalState::kNone) return;
    try {
        const bool matches = state == JournalState::kComplete && _dbutil_journalmatches(dbf, journal);
        if (!writer) {
            if (matches) {
                for (const JournalEntry& e : journal) overlay[e.key] = e.before;
            }
            return;
        }
        if (matches) {
            if (int error = _dbutil_reserve(dbf, journal)) _dbutil_writeerror(error, path);
            _dbutil_apply(dbf, journal, true);
        }
    } catch (const GdbmFailure& failure) {
        _dbutil_error(failure.error);
    }
    // A journal this writer can neither empty nor remove (another user's, in
    // a directory it may not write) would be applied again by the next
    // writer, undoing that writer's change: nothing is written until its
    // owner clears it. Readers go on seeing the counter as it was.
    if (int error = journal_clear(path)) _dbutil_journalerror(error, path);
}

// The text of a record's datum and whether it was stored as this layer
// stores texts: its characters and one terminating zero byte.
std::string _dbutil_text(const datum& d, bool& exact) {
    const std::size_t size = d.dsize > 0 ? static_cast<std::size_t>(d.dsize) : 0;
    const std::size_t len = d.dptr ? strnlen(d.dptr, size) : 0;
    exact = exact && size > 0 && len == size - 1;
    return std::string(d.dptr ? d.dptr : "", len);
}

// Walks every record of `dbf` with gdbm_firstkey and gdbm_nextkey and calls
// `visit` with each key and value as stored. Returns false with gdbm_errno
// set when a key or value cannot be read.
bool _dbutil_walkfile(GDBM_FILE dbf, const std::function<void(const DbRecord&)>& visit) {
    datum key = gdbm_firstkey(dbf);
    while (key.dptr) {
        std::unique_ptr<char, FreeDeleter> owned(key.dptr);
        datum value = gdbm_fetch(dbf, key);
        if (!value.dptr) return false;
        std::unique_ptr<char, FreeDeleter> owned_value(value.dptr);
        DbRecord record;
        record.key = _dbutil_text(key, record.text);
        record.value = _dbutil_text(value, record.text);
        visit(record);
        key = gdbm_nextkey(dbf, key);
    }
    return gdbm_errno == GDBM_ITEM_NOT_FOUND;
}

}  // namespace

std::optional<std::string> dbutil_get(GDBM_FILE dbf, const std::string& key) {
    datum value = gdbm_fetch(dbf, _dbutil_datum(key));
    if (!value.dptr) {
        if (gdbm_errno != GDBM_ITEM_NOT_FOUND) throw GdbmFailure{gdbm_errno};
        return std::nullopt;
    }
    std::unique_ptr<char, FreeDeleter> owned(value.dptr);
    const std::size_t size = value.dsize > 0 ? static_cast<std::size_t>(value.dsize) : 0;
    return std::string(owned.get(), strnlen(owned.get(), size));
}

void dbutil_put(GDBM_FILE dbf, const std::string& key, const std::optional<std::string>& value) {
    // A datum measures its text in an int; a longer text is not stored cut.
    if (key.size() >= INT_MAX || (value && value->size() >= INT_MAX)) throw GdbmFailure{GDBM_ILLEGAL_DATA};
    if (value) {
        if (gdbm_store(dbf, _dbutil_datum(key), _dbutil_datum(*value), GDBM_REPLACE) != 0) throw GdbmFailure{gdbm_errno};
    } else if (gdbm_delete(dbf, _dbutil_datum(key)) != 0 && gdbm_errno != GDBM_ITEM_NOT_FOUND) {
        throw GdbmFailure{gdbm_errno};
    }
}

int dbutil_create(const std::string& filename, const std::optional<FileOwner>& owner) {
    if (util_filecheck(filename)) return 0;
    // Made here and nowhere else: whatever stands at the name (a symbolic
    // link above all, which would have the file made where it points) is
    // left alone, and the new file is given away on its descriptor.
    UniqueFd fd(::open(filename.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, kCreateMode));
    if (!fd) return 0;
    if (owner && fchown(fd.get(), owner->uid, owner->gid) != 0) {
        const int error = errno;
        ::unlink(filename.c_str());
        errno = error;
        return 0;
    }
    GDBM_FILE dbf = gdbm_fd_open(fd.get(), filename.c_str(), kCreateBlockSize, GDBM_NEWDB | GDBM_NOLOCK, nullptr);
    if (!dbf) {
        const int error = gdbm_syserr[gdbm_errno] ? errno : EIO;
        ::unlink(filename.c_str());
        errno = error;
        return 0;
    }
    fd.release();  // gdbm closes it with the handle
    GdbmHandle created(dbf);
    return 1;
}

DbFile& DbFile::operator=(DbFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::move(other.handle_);
        path_ = std::move(other.path_);
        mode_ = other.mode_;
        overlay_ = std::move(other.overlay_);
    }
    return *this;
}

void DbFile::close() {
    if (handle_ && mode_ == DbMode::kWrite) flock(gdbm_fdesc(handle_.get()), LOCK_UN);
    handle_.reset();
    overlay_.clear();
}

DbFile dbutil_open(const std::string& filename, DbMode mode) {
    const bool writer = mode == DbMode::kWrite;
    // GDBM_NOMMAP: most operations open the file anew and read a handful
    // of records, so mapping the whole file at each open costs far more than
    // the few reads it saves. The file and its records are the same.
    const int flags = (writer ? GDBM_WRITER : GDBM_READER) | GDBM_FAST | (mode == DbMode::kReadMany ? 0 : GDBM_NOMMAP);
    GdbmHandle dbf = _dbutil_lockedopen(filename, flags);
    if (gdbm_needs_recovery(dbf.get())) {
        if (!writer) _dbutil_openerror(gdbm_strerror(GDBM_NEED_RECOVERY), filename);
        _dbutil_recover(dbf.get(), filename);
    }
    DbFile file;
    file.handle_ = std::move(dbf);
    file.path_ = filename;
    file.mode_ = mode;
    _dbutil_finishjournal(filename, file.handle(), writer, file.overlay_);
    return file;
}

void dbutil_close(DbFile& file) { file.close(); }

GdbmHandle dbutil_closelater(DbFile& file) {
    if (file.mode_ != DbMode::kWrite) {
        file.close();
        return nullptr;
    }
    if (file.handle_) flock(gdbm_fdesc(file.handle_.get()), LOCK_UN);
    file.overlay_.clear();
    return std::move(file.handle_);
}

std::optional<std::string> dbutil_fetch(const DbFile& file, const std::string& key) {
    if (key.size() > kMaxKey) support_errormsg("DB key too long (%zu characters, at most %zu)", key.size(), kMaxKey);
    if (!file.overlay().empty()) {
        auto shown = file.overlay().find(key);
        if (shown != file.overlay().end()) return shown->second;
    }
    try {
        return dbutil_get(file.handle(), key);
    } catch (const GdbmFailure& failure) {
        _dbutil_error(failure.error);
    }
}

DbTransaction::DbTransaction(DbFile& file, const std::vector<DbChange>& changes) : file_(file) {
    if (file.mode() != DbMode::kWrite) _dbutil_error(GDBM_READER_CANT_STORE);
    journal_.reserve(changes.size());
    try {
        for (const DbChange& c : changes) journal_.push_back({c.key, dbutil_get(file.handle(), c.key), c.value});
    } catch (const GdbmFailure& failure) {
        _dbutil_error(failure.error);
    }
    // A save directory the web server may not write (files made writable
    // one by one) has no room for a journal; such a site is counted as it
    // always was, unguarded. Any other failure refuses the change whole.
    struct stat st {};
    if (fstat(gdbm_fdesc(file.handle()), &st) != 0) _dbutil_writeerror(errno, file.path());
    JournalFile guard = journal_write(file.path(), journal_, st.st_uid, st.st_gid);
    if (!guard.fd && guard.error != EACCES && guard.error != EPERM && guard.error != EROFS) {
        _dbutil_writeerror(guard.error, journal_path(file.path()));
    }
    guard_ = std::move(guard.fd);
    if (int error = _dbutil_reserve(file.handle(), journal_)) {
        if (guard_) journal_clear(file.path(), std::move(guard_));
        _dbutil_writeerror(error, file.path());
    }
}

void DbTransaction::commit() {
    writing_ = true;
    try {
        _dbutil_apply(file_.handle(), journal_, false);
    } catch (const GdbmFailure& failure) {
        _dbutil_error(failure.error);
    }
    done_ = true;
    if (guard_) {
        if (int error = journal_clear(file_.path(), std::move(guard_))) _dbutil_writeerror(error, journal_path(file_.path()));
    }
}

DbTransaction::~DbTransaction() {
    if (done_) return;
    // Not committed, or a store failed: the records already written are put
    // back and the journal emptied. Should that fail too, the journal stays
    // for the next writer to undo, and readers see the old values meanwhile.
    try {
        if (writing_) _dbutil_apply(file_.handle(), journal_, true);
        if (guard_) journal_clear(file_.path(), std::move(guard_));
    } catch (const GdbmFailure&) {
    }
}

void dbutil_update(DbFile& file, const std::vector<DbChange>& changes) {
    DbTransaction change(file, changes);
    change.commit();
}

void dbutil_walk(const DbFile& file, const std::function<void(const DbRecord&)>& visit) {
    const auto& overlay = file.overlay();
    std::set<std::string> replaced;
    const bool read = _dbutil_walkfile(file.handle(), [&](const DbRecord& record) {
        auto shown = overlay.find(record.key);
        if (shown == overlay.end()) return visit(record);
        replaced.insert(record.key);
        if (shown->second) visit(DbRecord{record.key, *shown->second, true});
    });
    if (!read) _dbutil_error(gdbm_errno);
    // Records the interrupted change removed are shown as they were.
    for (const auto& [key, before] : overlay) {
        if (before && !replaced.count(key)) visit(DbRecord{key, *before, true});
    }
}

DbInspection dbutil_inspect(const std::string& filename) {
    GdbmHandle dbf = _dbutil_lockedopen(filename, GDBM_READER | GDBM_NOMMAP);
    DbInspection result;
    if (gdbm_needs_recovery(dbf.get())) {
        result.health = DbHealth::kNeedsRecovery;
        result.cause = gdbm_strerror(GDBM_NEED_RECOVERY);
    } else if (gdbm_avail_verify(dbf.get()) != 0 || !_dbutil_walkfile(dbf.get(), [](const DbRecord&) {})) {
        result.health = DbHealth::kDamaged;
        result.cause = gdbm_strerror(gdbm_errno);
    }
    return result;
}

DbRecovery dbutil_recover(const std::string& filename) {
    GdbmHandle dbf = _dbutil_lockedopen(filename, GDBM_WRITER | GDBM_NOMMAP);
    return _dbutil_recover(dbf.get(), filename);
}

void dbutil_remove(const std::string& filename) {
    UniqueFd lock = _dbutil_lock(filename, true);
    if (unlink(filename.c_str()) != 0) {
        support_errormsg("DB remove error. %s (%s)", std::strerror(errno), filename.c_str());
    }
    // An interrupted change of the removed file has nothing left to undo.
    journal_remove(filename);
}

void dbutil_replace(const std::string& filename, const std::string& replacement) {
    UniqueFd lock = _dbutil_lock(filename, true, true);
    // The journal belongs to the file that goes: it must not be applied to
    // the one that comes, which a waiting writer may open at once.
    if (int error = journal_remove(filename)) _dbutil_writeerror(error, journal_path(filename));
    if (rename(replacement.c_str(), filename.c_str()) != 0) {
        support_errormsg("DB replace error. %s (%s)", std::strerror(errno), filename.c_str());
    }
}

}  // namespace vorn
