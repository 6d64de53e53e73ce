// The one access layer to counter databases (gdbm files).
//
// At most one database is open per process, in a module-private handle.
// Keys and values are texts stored with their terminating zero byte, so
// "totcnt" is a 7-byte key. Every failure but those of create and delete
// ends the process through support_errormsg.
#pragma once

#include <optional>
#include <string>

namespace vorn {

// Longest key that fetch and delete accept; a longer key is refused with
// the error image rather than cut, so it can never alias another record.
inline constexpr std::size_t kMaxKey = 1019;

// How often dbutil_open tries before it gives up, one second apart.
inline constexpr int kOpenAttempts = 10;

// Creates an empty database (block size 1024, mode 0644). Returns 1 when
// it was created, 0 when the file is already there or cannot be created.
// Does not touch the open handle and never ends the process.
int dbutil_create(const std::string& filename);

// Opens `filename` for reading (stat 0, shared lock) or writing (stat 1,
// exclusive lock). Retries a failed open every second, kOpenAttempts in
// all, then answers "DB open error. Time out. Please, try again.".
// Does not return on failure.
void dbutil_open(const std::string& filename, int stat);

// Closes the open database. Does not return on failure.
void dbutil_close();

// Value stored under the key formatted from `str`, or nullopt when there
// is no record. Pass a complete key text as the argument of "%s", never as
// the format.
std::optional<std::string> dbutil_fetch(const char* str, ...) __attribute__((format(printf, 1, 2)));

// Stores `content` under `key` (both used as they are) with the gdbm flag
// GDBM_INSERT or GDBM_REPLACE. Does not return on failure.
void dbutil_store(const std::string& key, const std::string& content, int flag);

// Deletes the record under the formatted key: 0 when removed, -1 when
// there was none or it could not be removed.
int dbutil_delete(const char* str, ...) __attribute__((format(printf, 1, 2)));

// The fatal-error function given to gdbm: answers "DB Error!! (%s)" with
// gdbm's text for the current error. Does not return.
[[noreturn]] void _dbutil_error(const char* ignored);

}  // namespace vorn
