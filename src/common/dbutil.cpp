#include "dbutil.h"

#include <gdbm.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "support.h"
#include "util.h"

namespace vorn {

namespace {

struct GdbmCloser {
    void operator()(GDBM_FILE dbf) const { gdbm_close(dbf); }
};
using GdbmHandle = std::unique_ptr<std::remove_pointer_t<GDBM_FILE>, GdbmCloser>;

// The one open database of the process. Its owner closes it at exit too, so
// a request that ends in an error image while a database is open still
// leaves gdbm's buffers written and its lock released.
GdbmHandle pgdbf;

// A handle given up by _dbutil_error. It is never closed: gdbm may have
// called the error function from inside an operation on it, and closing
// would write its half-done state. It stays reachable here (volatile, so
// the store is kept) until the process ends, which releases the lock.
GDBM_FILE volatile abandoned_dbf = nullptr;

constexpr int kCreateBlockSize = 1024;
constexpr int kCreateMode = 0644;
constexpr int kOpenBlockSize = 0;  // gdbm reads it from the file
constexpr int kOpenMode = 0;       // only used when gdbm creates a file; open never does

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

}  // namespace

int dbutil_create(const std::string& filename) {
    if (util_filecheck(filename)) return 0;
    GdbmHandle created(gdbm_open(filename.c_str(), kCreateBlockSize, GDBM_WRCREAT, kCreateMode, nullptr));
    return created ? 1 : 0;
}

void dbutil_open(const std::string& filename, int stat) {
    if (pgdbf) {
        pgdbf.reset();
        support_errormsg("DB oepn error. There is already opened database.");
    }
    // gdbm takes its lock without waiting: a conflicting holder makes the
    // open fail at once, so the waiting happens here, a second per attempt.
    // GDBM_NOMMAP: every operation opens the file anew and reads a handful
    // of records, so mapping the whole file at each open and unmapping it at
    // each close costs far more than the few reads it saves (a year chart
    // opens the file 745 times). The file and its records are the same.
    const int flags = stat | GDBM_FAST | GDBM_NOMMAP;
    for (int open_num = 0; open_num < kOpenAttempts; ++open_num) {
        pgdbf.reset(gdbm_open(filename.c_str(), kOpenBlockSize, flags, kOpenMode, _dbutil_error));
        if (pgdbf) return;
        gdbm_errno = GDBM_NO_ERROR;
        sleep(1);
    }
    support_errormsg("DB open error. Time out. Please, try again.");
}

void dbutil_close() {
    if (!pgdbf) support_errormsg("DB close error. There is no database to close.");
    pgdbf.reset();
}

std::optional<std::string> dbutil_fetch(const char* str, ...) {
    va_list args;
    va_start(args, str);
    std::string key = _dbutil_formatkey(str, args);
    va_end(args);
    if (!pgdbf) support_errormsg("DB fetch error. There is no opened database.");

    datum value = gdbm_fetch(pgdbf.get(), _dbutil_datum(key));
    if (!value.dptr) return std::nullopt;
    std::unique_ptr<char, FreeDeleter> owned(value.dptr);
    // The stored zero byte ends the text; a record written by another
    // program without one ends at its size.
    std::size_t size = value.dsize > 0 ? static_cast<std::size_t>(value.dsize) : 0;
    return std::string(owned.get(), strnlen(owned.get(), size));
}

void dbutil_store(const std::string& key, const std::string& content, int flag) {
    if (!pgdbf) support_errormsg("DB store error. There is no opened database.");
    // A datum measures its text in an int; a longer text is not stored cut.
    if (key.size() >= INT_MAX || content.size() >= INT_MAX) {
        gdbm_errno = GDBM_ILLEGAL_DATA;
        _dbutil_error(nullptr);
    }
    if (gdbm_store(pgdbf.get(), _dbutil_datum(key), _dbutil_datum(content), flag) != 0) _dbutil_error(nullptr);
}

int dbutil_delete(const char* str, ...) {
    va_list args;
    va_start(args, str);
    std::string key = _dbutil_formatkey(str, args);
    va_end(args);
    if (!pgdbf) support_errormsg("DB delete error. There is no opened database.");
    return gdbm_delete(pgdbf.get(), _dbutil_datum(key));
}

void _dbutil_error(const char*) {
    abandoned_dbf = pgdbf.release();
    support_errormsg("DB Error!! (%s)", gdbm_strerror(gdbm_errno));
}

}  // namespace vorn
