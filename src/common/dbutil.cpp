#include "dbutil.h"

#include <fcntl.h>
#include <gdbm.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <type_traits>

#include "filelock.h"
#include "journal.h"
#include "support.h"
#include "util.h"

namespace vorn {

namespace {

struct GdbmCloser {
    void operator()(GDBM_FILE dbf) const { gdbm_close(dbf); }
};
using GdbmHandle = std::unique_ptr<std::remove_pointer_t<GDBM_FILE>, GdbmCloser>;

// The one open database of the process, its path and whether it was opened
// for writing. gdbm is given no fatal-error function, so it reports every
// failure by its result and never stops inside an operation; the handle can
// therefore always be closed, also on the error path.
GdbmHandle pgdbf;
std::string opened;
bool opened_writer = false;

// Before-images of a change its writer did not finish: a reader is shown
// these in place of what the file holds, until the next writer undoes it.
std::map<std::string, std::optional<std::string>> overlay;

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

// Formats a key from a printf-style format. A key longer than kMaxKey is
// refused: its full length is measured, nothing is cut or overrun.
__attribute__((format(printf, 1, 0))) std::string _dbutil_formatkey(const char* str, va_list args) {
    char key[kMaxKey + 1];
    int len = std::vsnprintf(key, sizeof key, str, args);
    if (len < 0) support_errormsg("DB key error. The key cannot be formatted.");
    if (static_cast<std::size_t>(len) > kMaxKey) {
        support_errormsg("DB key too long (%zu characters, at most %zu)", static_cast<std::size_t>(len), kMaxKey);
    }
    return std::string(key, static_cast<std::size_t>(len));
}

[[noreturn]] void _dbutil_openerror(const char* cause, const std::string& filename) {
    support_errormsg("DB open error. %s (%s)", cause, filename.c_str());
}

// The system's text of `error`, where a symbolic link that is not followed
// (ELOOP of O_NOFOLLOW) is called what it is.
const char* _dbutil_cause(int error) { return error == ELOOP ? "Is a symbolic link" : std::strerror(error); }

[[noreturn]] void _dbutil_writeerror(int error, const std::string& path) {
    support_errormsg("DB write error. %s (%s)", _dbutil_cause(error), path.c_str());
}

// The record under `key`, nullopt when there is none. A read that fails
// for any other reason (a damaged bucket, a read error) is an error, never
// an absent record.
std::optional<std::string> _dbutil_get(const std::string& key) {
    datum value = gdbm_fetch(pgdbf.get(), _dbutil_datum(key));
    if (!value.dptr) {
        if (gdbm_errno != GDBM_ITEM_NOT_FOUND) _dbutil_error();
        return std::nullopt;
    }
    std::unique_ptr<char, FreeDeleter> owned(value.dptr);
    // The stored zero byte ends the text; a record written by another
    // program without one ends at its size.
    std::size_t size = value.dsize > 0 ? static_cast<std::size_t>(value.dsize) : 0;
    return std::string(owned.get(), strnlen(owned.get(), size));
}

// Stores `value` under `key`, or removes the record when `value` is absent.
void _dbutil_put(const std::string& key, const std::optional<std::string>& value) {
    // A datum measures its text in an int; a longer text is not stored cut.
    if (key.size() >= INT_MAX || (value && value->size() >= INT_MAX)) {
        gdbm_errno = GDBM_ILLEGAL_DATA;
        _dbutil_error();
    }
    if (value) {
        if (gdbm_store(pgdbf.get(), _dbutil_datum(key), _dbutil_datum(*value), GDBM_REPLACE) != 0) _dbutil_error();
    } else if (gdbm_delete(pgdbf.get(), _dbutil_datum(key)) != 0 && gdbm_errno != GDBM_ITEM_NOT_FOUND) {
        _dbutil_error();
    }
}

// Reserves, past the end of the file, the disk space that storing
// `journal`'s after-images may take, so that the stores cannot fail half-way
// on a full disk (which would leave the file in need of recovery). The
// bound: data blocks for the new records, bucket splits, and directory
// doublings, which write a new directory twice the size. The reservation
// does not change the file's size; the space is used as gdbm extends the
// file, and kept for later changes. Returns 0 or the errno of a failure.
int _dbutil_reserve(const Journal& journal) {
    const int fd = gdbm_fdesc(pgdbf.get());
    struct stat st {};
    if (fstat(fd, &st) != 0) return errno;
    int block = 0, depth = 0;
    gdbm_setopt(pgdbf.get(), GDBM_GETBLOCKSIZE, &block, sizeof block);
    gdbm_setopt(pgdbf.get(), GDBM_GETDIRDEPTH, &depth, sizeof depth);
    off_t data = 0;
    for (const JournalEntry& e : journal) data += static_cast<off_t>(e.key.size() + (e.after ? e.after->size() : 0) + 2);
    const off_t directory = static_cast<off_t>(sizeof(off_t)) << std::min(depth, 40);
    const off_t reserve = 4 * directory + 2 * data + (16 + static_cast<off_t>(journal.size()) / 4) * block;
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, st.st_size + reserve) == 0) return 0;
    // A file system that cannot reserve space is written as before.
    if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return 0;
    return errno;
}

// Writes each entry's before-image (`undo`) or after-image.
void _dbutil_apply(const Journal& journal, bool undo) {
    for (const JournalEntry& e : journal) _dbutil_put(e.key, undo ? e.before : e.after);
}

// True when every record of `journal` holds its before- or its
// after-image: the journal belongs to this file's last change. A journal
// left beside a file that was since deleted and created anew does not
// match, and is not applied to the new file.
bool _dbutil_journalmatches(const Journal& journal) {
    for (const JournalEntry& e : journal) {
        std::optional<std::string> now = _dbutil_get(e.key);
        if (now != e.before && now != e.after) return false;
    }
    return true;
}

[[noreturn]] void _dbutil_journalerror(int error, const std::string& dbfile) {
    support_errormsg("DB journal error. %s (%s): vornctl repair clears it", _dbutil_cause(error),
                     journal_path(dbfile).c_str());
}

// What an interrupted writer left: a writer undoes its change, a reader is
// shown the before-images.
void _dbutil_finishjournal() {
    Journal journal;
    const JournalState state = journal_read(opened, journal);
    if (state == JournalState::kNone) return;
    const bool matches = state == JournalState::kComplete && _dbutil_journalmatches(journal);
    if (!opened_writer) {
        if (matches) {
            for (const JournalEntry& e : journal) overlay[e.key] = e.before;
        }
        return;
    }
    if (matches) {
        if (int error = _dbutil_reserve(journal)) _dbutil_writeerror(error, opened);
        _dbutil_apply(journal, true);
    }
    // A journal this writer can neither empty nor remove (another user's, in
    // a directory it may not write) would be applied again by the next
    // writer, undoing that writer's change: nothing is written until its
    // owner clears it. Readers go on seeing the counter as it was.
    if (int error = journal_clear(opened)) _dbutil_journalerror(error, opened);
}

// The name the damaged original of `filename` is kept under.
std::string _dbutil_damagedname(const std::string& filename) {
    std::string name = filename + ".damaged";
    for (int n = 2; access(name.c_str(), F_OK) == 0; ++n) name = filename + ".damaged-" + std::to_string(n);
    return name;
}

// Takes the lock of `filename`, waiting up to kOpenWait. A missing file is
// answered as a descriptor that is not open when `missing_ok`. Does not
// return on any other failure.
UniqueFd _dbutil_lock(const std::string& filename, bool writer, bool missing_ok = false) {
    FileLock lock = filelock_acquire(filename, writer, std::chrono::steady_clock::now() + kOpenWait);
    if (lock.result == FileLockResult::kTimedOut) support_errormsg("DB open error. Time out. Please, try again.");
    if (lock.result == FileLockResult::kFailed && !(missing_ok && lock.error == ENOENT)) {
        _dbutil_openerror(_dbutil_cause(lock.error), filename);
    }
    return std::move(lock.fd);
}

// Takes the lock of `filename` and opens gdbm on the locked descriptor with
// `flags` (the open mode and options; gdbm does not lock again). Does not
// return on failure.
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

void dbutil_open(const std::string& filename, int stat) {
    if (pgdbf) {
        dbutil_reset();
        support_errormsg("DB oepn error. There is already opened database.");
    }
    const bool writer = (stat & GDBM_OPENMASK) != GDBM_READER;
    // GDBM_NOMMAP: every operation opens the file anew and reads a handful
    // of records, so mapping the whole file at each open costs far more than
    // the few reads it saves (a year chart opens the file 745 times). The
    // file and its records are the same.
    const int flags = stat | GDBM_FAST | GDBM_NOMMAP;
    GdbmHandle dbf = _dbutil_lockedopen(filename, flags);
    if (gdbm_needs_recovery(dbf.get())) {
        if (!writer) _dbutil_openerror(gdbm_strerror(GDBM_NEED_RECOVERY), filename);
        _dbutil_recover(dbf.get(), filename);
    }
    pgdbf = std::move(dbf);
    opened = filename;
    opened_writer = writer;
    _dbutil_finishjournal();
}

void dbutil_close() {
    if (!pgdbf) support_errormsg("DB close error. There is no database to close.");
    dbutil_reset();
}

void dbutil_reset() {
    // gdbm writes every change when its store returns, and closing a file
    // opened for writing only adds an fsync. The lock is let go before it,
    // so the next visitor need not wait for the disk: what it reads is the
    // same file either way.
    if (pgdbf && opened_writer) flock(gdbm_fdesc(pgdbf.get()), LOCK_UN);
    pgdbf.reset();
    opened.clear();
    opened_writer = false;
    overlay.clear();
}

std::optional<std::string> dbutil_fetch(const char* str, ...) {
    va_list args;
    va_start(args, str);
    std::string key = _dbutil_formatkey(str, args);
    va_end(args);
    if (!pgdbf) support_errormsg("DB fetch error. There is no opened database.");
    if (!overlay.empty()) {
        auto shown = overlay.find(key);
        if (shown != overlay.end()) return shown->second;
    }
    return _dbutil_get(key);
}

void dbutil_store(const std::string& key, const std::string& content, int flag) {
    if (!pgdbf) support_errormsg("DB store error. There is no opened database.");
    // A datum measures its text in an int; a longer text is not stored cut.
    if (key.size() >= INT_MAX || content.size() >= INT_MAX) {
        gdbm_errno = GDBM_ILLEGAL_DATA;
        _dbutil_error();
    }
    if (gdbm_store(pgdbf.get(), _dbutil_datum(key), _dbutil_datum(content), flag) != 0) _dbutil_error();
}

int dbutil_delete(const char* str, ...) {
    va_list args;
    va_start(args, str);
    std::string key = _dbutil_formatkey(str, args);
    va_end(args);
    if (!pgdbf) support_errormsg("DB delete error. There is no opened database.");
    return gdbm_delete(pgdbf.get(), _dbutil_datum(key));
}

void dbutil_update(const std::vector<DbChange>& changes) {
    if (!pgdbf) support_errormsg("DB store error. There is no opened database.");
    if (!opened_writer) {
        gdbm_errno = GDBM_READER_CANT_STORE;
        _dbutil_error();
    }
    Journal journal;
    journal.reserve(changes.size());
    for (const DbChange& c : changes) journal.push_back({c.key, _dbutil_get(c.key), c.value});

    // A save directory the web server may not write (files made writable
    // one by one) has no room for a journal; such a site is counted as it
    // always was, unguarded. Any other failure refuses the change whole.
    struct stat st {};
    if (fstat(gdbm_fdesc(pgdbf.get()), &st) != 0) _dbutil_writeerror(errno, opened);
    JournalFile guard = journal_write(opened, journal, st.st_uid, st.st_gid);
    if (!guard.fd && guard.error != EACCES && guard.error != EPERM && guard.error != EROFS) {
        _dbutil_writeerror(guard.error, journal_path(opened));
    }
    const bool journaled = static_cast<bool>(guard.fd);
    if (int error = _dbutil_reserve(journal)) {
        if (journaled) journal_clear(opened, std::move(guard.fd));
        _dbutil_writeerror(error, opened);
    }
    // A store that fails now leaves the journal: the next writer undoes
    // what was written, and readers see the before-images till then.
    _dbutil_apply(journal, false);
    if (journaled) {
        if (int error = journal_clear(opened, std::move(guard.fd))) _dbutil_writeerror(error, journal_path(opened));
    }
}

void dbutil_walk(const std::function<void(const DbRecord&)>& visit) {
    if (!pgdbf) support_errormsg("DB fetch error. There is no opened database.");
    std::set<std::string> replaced;
    const bool read = _dbutil_walkfile(pgdbf.get(), [&](const DbRecord& record) {
        auto shown = overlay.find(record.key);
        if (shown == overlay.end()) return visit(record);
        replaced.insert(record.key);
        if (shown->second) visit(DbRecord{record.key, *shown->second, true});
    });
    if (!read) _dbutil_error();
    // Records the interrupted change removed are shown as they were.
    for (const auto& [key, before] : overlay) {
        if (before && !replaced.count(key)) visit(DbRecord{key, *before, true});
    }
}

bool dbutil_interrupted() { return !overlay.empty(); }

gdbm_file_info* _dbutil_gdbmfile() { return pgdbf.get(); }

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
    if (pgdbf) support_errormsg("DB oepn error. There is already opened database.");
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

void _dbutil_error() { support_errormsg("DB Error!! (%s)", gdbm_strerror(gdbm_errno)); }

}  // namespace vorn
