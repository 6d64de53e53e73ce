// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/visits.h"

#include <fcntl.h>
#include <gdbm.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <type_traits>

#include "base/siphash.h"
#include "base/support.h"
#include "base/util.h"
#include "gdbm/dbutil.h"
#include "gdbm/filelock.h"

namespace vorn {

namespace {

constexpr char kVisitsDir[] = "visits";
constexpr char kSaltName[] = "salt";  // no dot: never the name of a counter's store
constexpr mode_t kPrivateDir = 0700;
constexpr mode_t kPrivateFile = 0600;

// Records of a store. Each visitor is "v<hash>" = the time it was counted.
// A queue holds every remembered visit in the order it was counted, as
// "q<n>" = "<hash> <time>" for n from HEAD to TAIL - 1, so that the ones
// whose window has ended are found without reading the whole store. The
// state is "<tag> <HEAD> <TAIL>", where the tag names the salt the hashes
// were made with (its day and a fingerprint that does not reveal it).
constexpr char kStateKey[] = "state";
constexpr char kFingerprint[] = "salt";  // hashed under the salt for the tag
constexpr char kQueuePrefix[] = "q";
constexpr char kVisitPrefix[] = "v";
// The steps of an address under RATE_LIMIT: its record "r<hash>" holds the
// moments of its counted visits, oldest first; its queue entries are
// marked with kRateMark before the hash (hex digits never are).
constexpr char kRatePrefix[] = "r";
constexpr char kRateMark = 'R';

// At most this many ended visits are dropped per request: a request after
// a quiet hour does a bounded amount of work, and as every request drops
// more than it adds, the store still shrinks back to its live visits.
constexpr long kPruneBatch = 32;

// The salt file: the day it was made for, a blank, the salt as 32 hex
// digits and a line feed.
constexpr std::size_t kMaxSaltFile = 128;

// gdbm_close syncs a writer's file to disk, and that fsync would be most
// of what the rules add to a hit. A store holds nothing that must outlive
// a crash of the machine (a lost visit only lets its visitor count once
// more), and gdbm has written every change by the time its store or
// delete returned; so gdbm's descriptor is turned to /dev/null first and
// its sync finds nothing to do. The lock is held by a descriptor of our
// own and stays.
struct VisitsDbCloser {
    void operator()(GDBM_FILE dbf) const {
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup3(null, gdbm_fdesc(dbf), O_CLOEXEC);
            close(null);
        }
        gdbm_close(dbf);
    }
};
using VisitsDb = std::unique_ptr<std::remove_pointer_t<GDBM_FILE>, VisitsDbCloser>;

[[noreturn]] void _visits_error(const char* cause, const std::string& path) {
    support_errormsg("Visits file error. %s (%s)", cause, path.c_str());
}

std::string _visits_dirname(const std::string& dbfile) {
    const std::size_t slash = dbfile.rfind('/');
    return slash == std::string::npos ? std::string(".") : dbfile.substr(0, slash);
}

std::string _visits_basename(const std::string& dbfile) {
    const std::size_t slash = dbfile.rfind('/');
    return slash == std::string::npos ? dbfile : dbfile.substr(slash + 1);
}

std::string _visits_hex(const unsigned char* bytes, std::size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

std::string _visits_hex64(std::uint64_t value) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
    return _visits_hex(bytes, sizeof bytes);
}

// The local date of `now`, as the counter's own day keys have it.
std::string _visits_day(std::time_t now) {
    std::tm tm{};
    char text[32];
    if (!localtime_r(&now, &tm) || std::strftime(text, sizeof text, "%Y/%m/%d", &tm) == 0) return "";
    return text;
}

// The directory `dir` open for the *at calls, unless it is a symbolic link.
// O_PATH: what the calls through it may do is decided by the directory's
// permissions as for a path, not by whether it can be listed.
UniqueFd _visits_dirfd(const std::string& dir) {
    return UniqueFd(open(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The text of `error` met at `path`: a symbolic link that is not followed
// is named so (open gives ELOOP, or ENOTDIR for a directory wanted).
const char* _visits_cause(int error, const std::string& path) {
    struct stat st {};
    if (error == ELOOP || (error == ENOTDIR && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
        return "Is a symbolic link";
    }
    return std::strerror(error);
}

// The visits directory of `dbfile`, open, made (mode 0700) when `make` and
// it is missing. It lies in the save directory, which the web server user
// may write: a symbolic link in its place is never followed, so a process
// run as root cannot be led to make, lock or remove files elsewhere. Every
// file of the store is then reached through this descriptor. Does not
// return on failure.
UniqueFd _visits_opendir(const std::string& dbfile, bool make) {
    const std::string dir = _visits_dirname(dbfile) + "/" + kVisitsDir;
    if (make && mkdir(dir.c_str(), kPrivateDir) != 0 && errno != EEXIST) _visits_error(std::strerror(errno), dir);
    UniqueFd fd = _visits_dirfd(dir);
    if (!fd) _visits_error(_visits_cause(errno, dir), dir);
    return fd;
}

// Locks the file `name` of the visits directory `dir` (shared or alone),
// making it empty with mode 0600 when it is missing. `path` names it in
// messages.
UniqueFd _visits_lock(int dir, const std::string& name, const std::string& path, bool writer,
                      std::chrono::steady_clock::time_point deadline) {
    for (bool made = false;; made = true) {
        FileLock lock = filelock_acquire(name, writer, deadline, dir);
        if (lock.result == FileLockResult::kLocked) return std::move(lock.fd);
        if (lock.result == FileLockResult::kTimedOut) support_errormsg("Visits file error. Time out. Please, try again.");
        if (lock.error != ENOENT || made) _visits_error(_visits_cause(lock.error, path), path);
        UniqueFd created(openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kPrivateFile));
        if (!created && errno != EEXIST) _visits_error(std::strerror(errno), path);
    }
}

struct VisitsSalt {
    std::string day;
    SipHashKey key{};
};

std::optional<VisitsSalt> _visits_readsalt(int fd) {
    char buf[kMaxSaltFile];
    const ssize_t n = pread(fd, buf, sizeof buf, 0);
    if (n <= 0 || buf[n - 1] != '\n') return std::nullopt;
    const std::string text(buf, static_cast<std::size_t>(n) - 1);
    const std::size_t blank = text.rfind(' ');
    if (blank == std::string::npos) return std::nullopt;
    std::optional<SipHashKey> key = visits_parsesalt(text.substr(blank + 1));
    if (!key) return std::nullopt;
    VisitsSalt salt;
    salt.day = text.substr(0, blank);
    salt.key = *key;
    return salt;
}

// The salt of `today`: read under a shared lock; when it is of another day
// (or missing or damaged) it is replaced under the exclusive lock by 16
// fresh random bytes, which makes every hash of the old one meaningless.
VisitsSalt _visits_salt(int dir, const std::string& path, const std::string& today,
                        std::chrono::steady_clock::time_point deadline) {
    {
        // The salt is held for the moment of a read or a write, so a shared
        // lock is nearly always free at once; only when it is not does the
        // reader wait in line with the bounded lock.
        // Anything but a regular file there fails the read and is then
        // refused by the lock below.
        UniqueFd fd(openat(dir, kSaltName, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
        if (!fd || flock(fd.get(), LOCK_SH | LOCK_NB) != 0) fd = _visits_lock(dir, kSaltName, path, false, deadline);
        std::optional<VisitsSalt> salt = _visits_readsalt(fd.get());
        if (salt && salt->day == today) return *salt;
    }
    UniqueFd fd = _visits_lock(dir, kSaltName, path, true, deadline);
    std::optional<VisitsSalt> salt = _visits_readsalt(fd.get());
    if (salt && salt->day == today) return *salt;  // replaced meanwhile by another request

    VisitsSalt fresh;
    fresh.day = today;
    fresh.key = visits_newsalt();
    const std::string text = today + " " + visits_salttext(fresh.key) + "\n";
    // Written over the old salt in place, so the old bytes do not stay
    // behind in a file of their own.
    if (ftruncate(fd.get(), 0) != 0 || pwrite(fd.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        _visits_error(std::strerror(errno), path);
    }
    return fresh;
}

// The blank-separated words of `text`.
std::vector<std::string> _visits_words(const std::string& text) {
    std::vector<std::string> words;
    std::size_t at = text.find_first_not_of(' ');
    while (at != std::string::npos) {
        const std::size_t end = text.find(' ', at);
        words.push_back(text.substr(at, end - at));
        at = text.find_first_not_of(' ', end);
    }
    return words;
}

// The key of the queue entry `n`. Appended, not prefixed: GCC 12 takes
// "text" + std::string&& for an overlapping copy in optimised builds
// (-Wrestrict).
std::string _visits_queuekey(long n) {
    std::string key = kQueuePrefix;
    key += std::to_string(n);
    return key;
}

// True when the window of a visit counted at `counted` has ended at `now`.
// A visit stamped later than `now` is still in its window: a request takes
// its moment before it waits for the lock, so it may find the visit of a
// request that started after it.
bool _visits_ended(long counted, std::time_t now, std::time_t window) { return now - counted >= window; }

// The visits of one counter, in a gdbm file opened on the descriptor that
// holds its lock.
class GdbmVisits final : public VisitsStore {
public:
    GdbmVisits(std::string path, std::string counter, UniqueFd lock, const VisitsSalt& salt)
        : path_(std::move(path)), counter_(std::move(counter)), lock_(std::move(lock)), key_(salt.key) {
        tag_ = salt.day + ":" + _visits_hex64(siphash_24(key_, kFingerprint));
        _open();
    }

    VisitsAnswer admit(const VisitsAsk& ask, std::time_t now) override {
        try {
            return _admit(ask, now);
        } catch (const GdbmFailure&) {
            _reset();
        }
        try {
            return _admit(ask, now);
        } catch (const GdbmFailure& damaged) {
            _visits_error(gdbm_strerror(damaged.error), path_);
        }
    }

    void forget() noexcept override {
        // Put back what the admitted visit changed, last change first.
        for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
            try {
                _put(it->first, it->second);
            } catch (...) {
                // The visit stays remembered: the visitor is counted again
                // when its window ends.
            }
        }
        pending_.clear();
    }

private:
    struct Queue {
        long head = 0, tail = 0;
        bool operator==(const Queue&) const = default;
    };

    // gdbm on a second descriptor of the locked file: gdbm closes its own,
    // and the lock stays with ours until the store is destroyed.
    VisitsDb _gdbm(int flags) {
        const int fd = fcntl(lock_.get(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) _visits_error(std::strerror(errno), path_);
        return VisitsDb(gdbm_fd_open(fd, path_.c_str(), 0, flags | GDBM_NOLOCK | GDBM_NOMMAP | GDBM_CLOERROR, nullptr));
    }

    void _open() {
        db_ = _gdbm(GDBM_WRCREAT);
        // Another day's store, or one that cannot be read, starts empty.
        bool current = false;
        if (db_ && !gdbm_needs_recovery(db_.get())) {
            try {
                current = _getstate();
            } catch (const GdbmFailure&) {
            }
        }
        if (!current) _reset();
    }

    // Reads the state into queue_; false when it is not of this salt.
    bool _getstate() {
        std::optional<std::string> state = _get(kStateKey);
        if (!state || state->compare(0, tag_.size() + 1, tag_ + " ") != 0) return false;
        const std::string rest = state->substr(tag_.size() + 1);
        const std::size_t blank = rest.find(' ');
        if (blank == std::string::npos) return false;
        queue_.head = util_tolong(rest.substr(0, blank));
        queue_.tail = util_tolong(rest.substr(blank + 1));
        return queue_.head >= 0 && queue_.tail >= queue_.head;
    }

    void _putstate() {
        _put(kStateKey, tag_ + " " + std::to_string(queue_.head) + " " + std::to_string(queue_.tail));
    }

    void _reset() {
        db_.reset();
        // gdbm writes a new file's header where the descriptor stands,
        // and the two descriptors share their offset.
        if (ftruncate(lock_.get(), 0) != 0 || lseek(lock_.get(), 0, SEEK_SET) != 0) {
            _visits_error(std::strerror(errno), path_);
        }
        db_ = _gdbm(GDBM_NEWDB);
        if (!db_) _visits_error(gdbm_strerror(gdbm_errno), path_);
        pending_.clear();
        queue_ = Queue{};
        try {
            _putstate();
        } catch (const GdbmFailure& damaged) {
            _visits_error(gdbm_strerror(damaged.error), path_);
        }
    }

    std::optional<std::string> _get(const std::string& key) { return dbutil_get(db_.get(), key); }

    void _put(const std::string& key, const std::optional<std::string>& value) { dbutil_put(db_.get(), key, value); }

    // Drops the visits and steps whose window has ended, oldest first, at
    // most kPruneBatch of them; a window of 0 (its rule is off) has ended.
    void _prune(Queue& q, std::time_t now, const VisitsAsk& ask) {
        for (long done = 0; q.head < q.tail && done < kPruneBatch; ++done) {
            const std::string qkey = _visits_queuekey(q.head);
            if (std::optional<std::string> entry = _get(qkey)) {
                const bool rate = !entry->empty() && entry->front() == kRateMark;
                const std::size_t blank = entry->find(' ');
                const std::string hash = entry->substr(rate ? 1 : 0, blank - (rate ? 1 : 0));
                const std::string when = blank == std::string::npos ? "" : entry->substr(blank + 1);
                if (!_visits_ended(util_tolong(when), now, rate ? ask.rate_window : ask.repeat_window)) break;
                // A record goes only when this entry is its latest: a
                // visitor's moment, or the newest step of an address.
                if (rate) {
                    const std::string rkey = kRatePrefix + hash;
                    const std::optional<std::string> steps = _get(rkey);
                    if (steps && steps->substr(steps->rfind(' ') + 1) == when) _put(rkey, std::nullopt);
                } else {
                    const std::string vkey = kVisitPrefix + hash;
                    if (_get(vkey) == when) _put(vkey, std::nullopt);
                }
                _put(qkey, std::nullopt);
            }
            ++q.head;
        }
    }

    void _enqueue(Queue& q, const std::string& entry) {
        _put(_visits_queuekey(q.tail), entry);
        ++q.tail;
    }

    VisitsAnswer _admit(const VisitsAsk& ask, std::time_t now) {
        Queue& q = queue_;
        const Queue before = q;
        _prune(q, now, ask);
        const auto refuse = [&](VisitsAnswer answer) {
            if (q != before) _putstate();
            return answer;
        };
        // The address's steps within the window, oldest first.
        std::string rhash, rkey;
        std::optional<std::string> steps_before;
        std::vector<long long> steps;
        if (ask.rate_identity) {
            rhash = visits_hash(key_, counter_, *ask.rate_identity);
            rkey = kRatePrefix + rhash;
            steps_before = _get(rkey);
            for (const std::string& step : _visits_words(steps_before.value_or(""))) {
                if (!_visits_ended(util_tolong(step), now, ask.rate_window)) steps.push_back(util_tolong(step));
            }
            if (static_cast<long>(steps.size()) >= ask.rate_limit) return refuse(VisitsAnswer::kOverRate);
        }
        std::string vhash, vkey;
        std::optional<std::string> seen;
        if (ask.repeat_identity) {
            vhash = visits_hash(key_, counter_, *ask.repeat_identity);
            vkey = kVisitPrefix + vhash;
            seen = _get(vkey);
            if (seen && !_visits_ended(util_tolong(*seen), now, ask.repeat_window)) {
                return refuse(VisitsAnswer::kRepeat);
            }
        }
        const std::string when = std::to_string(static_cast<long long>(now));
        pending_.clear();
        if (ask.repeat_identity) {
            _put(vkey, when);
            _enqueue(q, vhash + " " + when);
            pending_.emplace_back(vkey, seen);
        }
        if (ask.rate_identity) {
            steps.push_back(now);
            std::string text;
            const std::size_t keep = static_cast<std::size_t>(ask.rate_limit);
            for (std::size_t i = steps.size() > keep ? steps.size() - keep : 0; i < steps.size(); ++i) {
                if (!text.empty()) text += ' ';
                text += std::to_string(steps[i]);
            }
            _put(rkey, text);
            _enqueue(q, kRateMark + rhash + " " + when);
            pending_.emplace_back(rkey, steps_before);
        }
        _putstate();
        return VisitsAnswer::kCounted;
    }

    std::string path_;
    std::string counter_;
    UniqueFd lock_;
    SipHashKey key_;
    std::string tag_;
    VisitsDb db_;
    Queue queue_;
    // What the last admitted visit changed: each record and what it held.
    std::vector<std::pair<std::string, std::optional<std::string>>> pending_;
};

}  // namespace

SipHashKey visits_newsalt() {
    SipHashKey salt{};
    for (std::size_t got = 0; got < salt.size();) {
        const ssize_t n = getrandom(salt.data() + got, salt.size() - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) support_errormsg("Visits file error. No random salt (%s)", std::strerror(errno));
        got += static_cast<std::size_t>(n);
    }
    return salt;
}

std::string visits_salttext(const SipHashKey& salt) { return _visits_hex(salt.data(), salt.size()); }

std::optional<SipHashKey> visits_parsesalt(const std::string& text) {
    SipHashKey salt{};
    if (text.size() != 2 * salt.size() || text.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < salt.size(); ++i) {
        salt[i] = static_cast<unsigned char>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    }
    return salt;
}

std::string visits_hash(const SipHashKey& salt, const std::string& counter, const std::string& identity) {
    return _visits_hex64(siphash_24(salt, counter + '\0' + identity));
}

std::string visits_path(const std::string& dbfile) {
    return _visits_dirname(dbfile) + "/" + kVisitsDir + "/" + _visits_basename(dbfile);
}

std::string visits_saltpath(const std::string& dbfile) {
    return _visits_dirname(dbfile) + "/" + kVisitsDir + "/" + kSaltName;
}

std::unique_ptr<VisitsStore> visits_open(const std::string& dbfile, std::time_t now) {
    const auto deadline = std::chrono::steady_clock::now() + kVisitsWait;
    const UniqueFd dir = _visits_opendir(dbfile, true);
    const std::string name = _visits_basename(dbfile);
    // The store's lock first, then the salt's: a request holds the salt
    // only for the moment it reads it, and never waits for a store while
    // it does.
    UniqueFd lock = _visits_lock(dir.get(), name, visits_path(dbfile), true, deadline);
    const VisitsSalt salt = _visits_salt(dir.get(), visits_saltpath(dbfile), _visits_day(now), deadline);
    return std::make_unique<GdbmVisits>(visits_path(dbfile), name, std::move(lock), salt);
}

void visits_remove(const std::string& dbfile) {
    const std::string path = _visits_dirname(dbfile) + "/" + kVisitsDir;
    UniqueFd dir = _visits_dirfd(path);
    if (!dir) {
        if (errno == ENOENT) return;
        _visits_error(_visits_cause(errno, path), path);
    }
    if (unlinkat(dir.get(), _visits_basename(dbfile).c_str(), 0) != 0 && errno != ENOENT) {
        _visits_error(std::strerror(errno), visits_path(dbfile));
    }
}

}  // namespace vorn
