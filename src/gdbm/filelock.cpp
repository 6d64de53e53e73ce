// SPDX-License-Identifier: GPL-3.0-or-later
#include "gdbm/filelock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <optional>

namespace vorn {

namespace {

// The turnstile byte: far beyond any offset gdbm writes, so no data lies
// there and no other program locks it.
constexpr off_t kTurnstile = off_t{1} << 62;

// While a process waits, an interval timer interrupts the blocked call this
// often so the deadline is checked. It is periodic rather than one-shot:
// a tick that fires just before the call blocks is lost, the next is not.
constexpr suseconds_t kTickMicroseconds = 20000;

extern "C" void _filelock_tick(int) {}

// Arms the ticks for as long as it lives and restores what the process had
// before: the SIGALRM action, the timer and the signal mask. The action is
// installed without SA_RESTART, so a tick ends a blocked lock call with
// EINTR; SIGALRM is unblocked because a web server may start its children
// with it blocked, and a blocked tick would make the wait unbounded.
class Ticks {
public:
    Ticks() {
        struct sigaction action {};
        action.sa_handler = _filelock_tick;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &old_action_);
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        sigprocmask(SIG_UNBLOCK, &alarm, &old_mask_);
        const itimerval tick{{0, kTickMicroseconds}, {0, kTickMicroseconds}};
        setitimer(ITIMER_REAL, &tick, &old_timer_);
    }
    ~Ticks() {
        // The timer stops first: a tick still pending is delivered to the
        // harmless handler before the old action comes back.
        setitimer(ITIMER_REAL, &old_timer_, nullptr);
        sigaction(SIGALRM, &old_action_, nullptr);
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    Ticks(const Ticks&) = delete;
    Ticks& operator=(const Ticks&) = delete;

private:
    struct sigaction old_action_ {};
    sigset_t old_mask_{};
    itimerval old_timer_{};
};

enum class Wait { kDone, kTimedOut, kFailed };

bool _filelock_conflict(int error) { return error == EWOULDBLOCK || error == EAGAIN || error == EACCES; }

// Runs `attempt(block)` until it succeeds: first without blocking (the
// usual case costs no timer), then blocking, woken by the ticks to look at
// the deadline.
template <typename Attempt>
Wait _filelock_wait(Attempt attempt, std::optional<Ticks>& ticks, std::chrono::steady_clock::time_point deadline,
                    int& error) {
    if (attempt(false) == 0) return Wait::kDone;
    if (!_filelock_conflict(errno) && errno != EINTR) {
        error = errno;
        return Wait::kFailed;
    }
    if (!ticks) ticks.emplace();
    for (;;) {
        if (std::chrono::steady_clock::now() >= deadline) return Wait::kTimedOut;
        if (attempt(true) == 0) return Wait::kDone;
        if (errno != EINTR) {
            error = errno;
            return Wait::kFailed;
        }
    }
}

int _filelock_turnstile(int fd, short type, bool block) {
    struct flock gate {};
    gate.l_type = type;
    gate.l_whence = SEEK_SET;
    gate.l_start = kTurnstile;
    gate.l_len = 1;
    return fcntl(fd, block ? F_OFD_SETLKW : F_OFD_SETLK, &gate);
}

}  // namespace

FileLock filelock_acquire(const std::string& path, bool writer, std::chrono::steady_clock::time_point deadline,
                          int dirfd) {
    FileLock lock;
    std::optional<Ticks> ticks;
    const short gate = writer ? F_WRLCK : F_RDLCK;
    const int mode = writer ? LOCK_EX : LOCK_SH;
    for (;;) {
        // A symbolic link is never followed (a process run as root must not
        // be led to a file elsewhere), and only a regular file is used: a
        // FIFO put in its place would block the open for good.
        UniqueFd fd(::openat(dirfd, path.c_str(),
                             (writer ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
        if (!fd) {
            if (errno == EINTR) continue;
            lock.error = errno;
            return lock;
        }
        const int f = fd.get();
        struct stat opened {};
        if (fstat(f, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            lock.error = S_ISDIR(opened.st_mode) ? EISDIR : EINVAL;
            return lock;
        }
        int gate_error = 0;
        Wait w = _filelock_wait([&](bool block) { return _filelock_turnstile(f, gate, block); }, ticks, deadline,
                                gate_error);
        // A file system without open-file-description locks still has
        // gdbm's flock: the file is then locked without the turnstile.
        if (w == Wait::kFailed) w = Wait::kDone;
        if (w == Wait::kDone) {
            w = _filelock_wait([&](bool block) { return flock(f, mode | (block ? 0 : LOCK_NB)); }, ticks, deadline,
                               lock.error);
            _filelock_turnstile(f, F_UNLCK, false);
        }
        if (w == Wait::kTimedOut) {
            lock.result = FileLockResult::kTimedOut;
            return lock;
        }
        if (w == Wait::kFailed) return lock;

        // The lock is held on the file this descriptor opened; the path
        // must still name that file.
        struct stat named {};
        if (::fstatat(dirfd, path.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
            lock.error = errno;
            return lock;
        }
        if (opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            lock.result = FileLockResult::kLocked;
            lock.fd = std::move(fd);
            return lock;
        }
        // Replaced while we waited (a restore or a recovery): lock the new
        // file, within the same deadline.
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.result = FileLockResult::kTimedOut;
            return lock;
        }
    }
}

}  // namespace vorn
