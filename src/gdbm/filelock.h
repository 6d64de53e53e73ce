// SPDX-License-Identifier: GPL-3.0-or-later
// The lock of a counter file, taken the way gdbm takes it and waited for
// with a bound.
//
// gdbm locks a database with flock(): shared for readers, exclusive for a
// writer, and it never waits. Here the same flock is taken on a descriptor
// of our own (the database is then opened on that descriptor without gdbm's
// locking), so that a process can block on it and is woken the moment the
// holder lets go, instead of retrying once a second. Programs that open the
// file with gdbm's own locking (gdbm_dump, gdbmtool, older builds) still
// meet the same lock.
//
// A stream of readers could keep a shared flock held without a gap and a
// writer would never get in. So every process passes a turnstile first: an
// open-file-description lock on one byte far beyond the data, which a
// writer holds exclusively while it waits for the readers inside to leave
// and which readers take shared only until they hold their flock. While a
// writer waits, new readers queue at the turnstile; the readers already in
// finish their few fetches and the writer enters within the time of one
// read. The byte lies beyond anything gdbm writes, and flock and
// open-file-description locks do not interact, so gdbm never sees it.
#pragma once

#include <fcntl.h>

#include <chrono>
#include <string>

#include "base/util.h"

namespace vorn {

enum class FileLockResult {
    kLocked,    // the descriptor holds the lock
    kTimedOut,  // the lock stayed held elsewhere until the deadline
    kFailed,    // the file cannot be opened or locked; waiting cannot help
};

struct FileLock {
    FileLockResult result = FileLockResult::kFailed;
    UniqueFd fd;    // with kLocked: open on the file, holding the lock
    int error = 0;  // with kFailed: the errno that tells why
};

// Opens `path` (read-only for a reader, read-write for a writer) and takes
// its lock, waiting until `deadline` at most. A symbolic link at `path` is
// not followed (kFailed with ELOOP), and anything but a regular file is
// refused (EISDIR for a directory, EINVAL for the rest). A file that was replaced or
// removed while the lock was awaited is noticed once it is held: a replaced
// file is opened and locked anew, a removed one fails with ENOENT. Closing
// the descriptor releases the lock.
// A relative `path` is taken from the directory open on `dirfd`.
FileLock filelock_acquire(const std::string& path, bool writer, std::chrono::steady_clock::time_point deadline,
                          int dirfd = AT_FDCWD);

}  // namespace vorn
