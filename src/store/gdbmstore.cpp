// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/gdbmstore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/support.h"
#include "base/util.h"
#include "gdbm/dbdump.h"
#include "gdbm/dbutil.h"
#include "gdbm/journal.h"
#include "store/increment.h"
#include "store/visits.h"

namespace vorn {

namespace {

constexpr int kHoursPerDay = 24;
constexpr char kFirstCount[] = "1";
// A snapshot of more keys than this (a month or a year chart) reads them
// from the file mapped into memory.
constexpr std::size_t kManyKeys = 200;

// A finding that `user` may not do `want` with the file `path`, when so.
// `why` says what needs it; the fix gives the file to the user.
void _gdbmstore_needs(const std::string& path, const WebUser& user, int want, const std::string& why,
                      std::vector<Finding>& found) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || store_may(st, user, want)) return;
    const bool dir = S_ISDIR(st.st_mode);
    found.push_back({"permission", "the web server user " + user.name + " may not " +
                                       (dir ? "write the directory " : "read and write ") + path + " (" + why +
                                       "): chown " + (dir && why.find("visits") != std::string::npos ? "-R " : "") +
                                       user.name + " " + util_abspath(path)});
}

// The owner a new counter file gets: run as root, the owner of the save
// directory (the web server user in a site set up as README says), so that
// vorncounter can write it; otherwise the running user's.
std::optional<FileOwner> _gdbmstore_newowner(const std::string& dir_save) {
    if (geteuid() != 0) return std::nullopt;
    struct stat dir {};
    if (::stat(dir_save.c_str(), &dir) != 0) {
        support_errormsg("cannot read the owner of %s: %s", dir_save.c_str(), std::strerror(errno));
    }
    return FileOwner{dir.st_uid, dir.st_gid};
}

// The save directory may be writable by the web server user: a symbolic
// link planted at a counter's name would have a tool run as root make or
// give away a file wherever it points. It is refused, naming it.
void _gdbmstore_refuselink(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        support_errormsg("%s is a symbolic link, which is not followed: remove it", path.c_str());
    }
}

// The mode a new file gets from an open with mode 0644: less the umask.
mode_t _gdbmstore_newmode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0644 & ~mask;
}

class GdbmCounter : public Counter {
public:
    GdbmCounter(std::string name, std::string dir, std::string path)
        : name_(std::move(name)), dir_(std::move(dir)), path_(std::move(path)) {}

    const std::string& name() const override { return name_; }
    std::string where() const override { return path_; }

    bool exists() override {
        struct stat st {};
        return ::lstat(path_.c_str(), &st) == 0;
    }

    void require() override {
        if (!util_filecheck(path_)) support_errormsg("DB file (%s) not found", path_.c_str());
    }

    std::string visit(const std::string& hour) override {
        // The total, the hour record and, at the first hit, the start date
        // change together under one writing open: concurrent hits are
        // counted one after the other, and a hit is recorded whole or not
        // at all.
        DbFile file = dbutil_open(path_, DbMode::kWrite);
        std::optional<std::string> tmp = dbutil_fetch(file, kTotalKey);
        std::string count = tmp ? support_counterupdate(*tmp) : kFirstCount;
        tmp = dbutil_fetch(file, hour);
        std::string daycount = tmp ? support_counterupdate(*tmp) : kFirstCount;
        std::vector<DbChange> visit = {{kTotalKey, count}, {hour, daycount}};
        if (count == kFirstCount) visit.push_back({kStartDateKey, hour});
        dbutil_update(file, visit);
        unsynced_ = dbutil_closelater(file);
        return count;
    }

    std::optional<std::string> get(const std::string& key) override {
        DbFile file = dbutil_open(path_, DbMode::kRead);
        return dbutil_fetch(file, key);
    }

    std::vector<long> daysums(const std::vector<std::string>& days) override {
        // Each day is a read of its own (an open and a close), so a long sum
        // never keeps writers waiting for more than one day's fetches.
        std::vector<long> sums;
        sums.reserve(days.size());
        for (const std::string& day : days) {
            long sum = 0;
            DbFile file = dbutil_open(path_, DbMode::kRead);
            for (int hour = 0; hour < kHoursPerDay; ++hour) {
                if (std::optional<std::string> tmp = dbutil_fetch(file, store_subkey(day, hour))) {
                    sum = util_addcount(sum, util_tolong(*tmp));
                }
            }
            sums.push_back(sum);
        }
        return sums;
    }

    std::vector<std::optional<std::string>> snapshot(const std::vector<std::string>& keys) override {
        std::vector<std::optional<std::string>> values;
        values.reserve(keys.size());
        DbFile file = dbutil_open(path_, keys.size() > kManyKeys ? DbMode::kReadMany : DbMode::kRead);
        for (const std::string& key : keys) values.push_back(dbutil_fetch(file, key));
        return values;
    }

    std::vector<DbRecord> records() override {
        std::vector<DbRecord> all;
        DbFile file = dbutil_open(path_, DbMode::kRead);
        dbutil_walk(file, [&](const DbRecord& record) { all.push_back(record); });
        return all;
    }

    void change(const StoreEdit& edit) override {
        DbFile file = dbutil_open(path_, DbMode::kWrite);
        const std::vector<DbChange> changes = edit([&](const std::string& key) { return dbutil_fetch(file, key); });
        if (!changes.empty()) dbutil_update(file, changes);
    }

    bool create() override {
        _gdbmstore_refuselink(path_);
        if (exists()) return false;
        errno = 0;
        if (dbutil_create(path_, _gdbmstore_newowner(dir_)) != 1) {
            support_errormsg("cannot create counter '%s' (%s): %s", name_.c_str(), path_.c_str(),
                             std::strerror(errno ? errno : EIO));
        }
        return true;
    }

    void remove() override {
        // The visits remembered for the counter go with it, so a counter
        // made anew under the name starts without them. They go first:
        // they hold nothing that must be kept, and a failure to remove
        // them then leaves the counter whole.
        visits_remove(path_);
        dbutil_remove(path_);
    }

    std::unique_ptr<VisitsStore> visits(std::time_t now) override { return visits_open(path_, now); }

    long long size() override {
        struct stat st {};
        return ::stat(path_.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    }

    void dump(std::FILE* out) override {
        DbFile file = dbutil_open(path_, DbMode::kRead);
        // An interrupted change is undone first, as the next visit would.
        if (!file.overlay().empty()) {
            dbutil_close(file);
            file = dbutil_open(path_, DbMode::kWrite);
        }
        dbdump_write(out, file);
    }

    void restore(std::FILE* dump, const std::string& dumpname) override {
        // The dump is loaded into a new file of the save directory under a
        // name no one can guess, given the mode and owner of the file it
        // replaces (of a new counter: as create gives them) on its
        // descriptor, and then put in the counter's place by one rename.
        _gdbmstore_refuselink(path_);
        mode_t mode = _gdbmstore_newmode();
        std::optional<FileOwner> owner = _gdbmstore_newowner(dir_);
        struct stat old {};
        if (::lstat(path_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
            mode = old.st_mode & 07777;
            owner = FileOwner{old.st_uid, old.st_gid};
        }
        std::string temp;
        UniqueFd fd = util_mktemp(dir_, ".vornctl-restore-", temp);
        if (!fd) support_errormsg("cannot create a file in %s: %s", dir_.c_str(), std::strerror(errno));
        if (fchmod(fd.get(), mode) != 0 || (geteuid() == 0 && owner && fchown(fd.get(), owner->uid, owner->gid) != 0)) {
            const int error = errno;
            ::unlink(temp.c_str());
            support_errormsg("cannot give %s the owner and mode of %s: %s", temp.c_str(), path_.c_str(),
                             std::strerror(error));
        }
        dbdump_load(std::move(fd), temp, dump, dumpname);
        try {
            dbutil_replace(path_, temp);
        } catch (...) {
            ::unlink(temp.c_str());
            throw;
        }
    }

    std::vector<Finding> inspect(const std::optional<WebUser>& user, bool repeat_minutes, bool& readable) override {
        std::vector<Finding> found;
        readable = false;
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) {
            found.push_back({"missing", "no such counter (" + path_ + ")"});
            return found;
        }
        _journal(user, found);
        for (const std::string& copy : _damagedcopies()) {
            found.push_back({"damaged-copy", "the original of a recovered file is kept as " + copy +
                                                 ": compare it with the counter, then remove it"});
        }
        if (user) {
            _gdbmstore_needs(path_, *user, kMayRead | kMayWrite, "every visit writes it", found);
            _gdbmstore_needs(dir_, *user, kMayWrite | kMaySearch, "each visit keeps its journal there", found);
            _gdbmstore_needs(journal_path(path_), *user, kMayRead | kMayWrite, "each visit notes its change there first",
                             found);
            if (repeat_minutes) {
                _gdbmstore_needs(visits_path(path_), *user, kMayRead | kMayWrite,
                                 "REPEAT_MINUTES keeps the counter's visits there", found);
            }
        }
        try {
            const DbInspection inspection = dbutil_inspect(path_);
            if (inspection.health == DbHealth::kNeedsRecovery) {
                found.push_back({"needs-recovery", "gdbm marks the file as needing recovery (" + inspection.cause +
                                                       "): the next visit recovers it, or " +
                                                       store_ctl("repair", name_)});
            } else if (inspection.health == DbHealth::kDamaged) {
                found.push_back({"damaged", "gdbm finds the file damaged (" + inspection.cause + "): " +
                                                store_ctl("repair", name_)});
            } else {
                readable = true;
            }
        } catch (const ErrorAnswer& e) {
            found.push_back({"open", e.message() + ": restore the counter from a backup"});
        }
        return found;
    }

    Repair repair() override {
        Repair repair;
        const std::string journal = journal_path(path_);
        repair.journal = journal;
        DbInspection inspection;
        try {
            inspection = dbutil_inspect(path_);
        } catch (const ErrorAnswer& e) {
            support_errormsg("%s: gdbm cannot open it, so it cannot be recovered; restore it from a backup",
                             e.message().c_str());
        }
        if (inspection.health != DbHealth::kSound) {
            repair.problem = inspection.cause;
            repair.recovery = dbutil_recover(path_);
        }
        struct stat st {};
        if (::lstat(journal.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            // Something that is no journal stands in its place and fails
            // every visit: a directory goes only when it is empty.
            if ((S_ISDIR(st.st_mode) ? rmdir(journal.c_str()) : unlink(journal.c_str())) != 0) {
                support_errormsg("cannot remove %s, which is no journal: %s", journal.c_str(), std::strerror(errno));
            }
            repair.removed = journal;
        } else if (::lstat(journal.c_str(), &st) == 0 && st.st_size > 0) {
            // A writer's open undoes the change its journal guards. The
            // emptied journal goes too: one left by another user (root's,
            // in a save directory the web server may not write) would stay
            // unwritable for the web server; the next visit makes its own.
            DbFile file = dbutil_open(path_, DbMode::kWrite);
            dbutil_close(file);
            repair.undid_change = ::lstat(journal.c_str(), &st) != 0 || st.st_size == 0;
            if (repair.undid_change) journal_remove(path_);
        }
        return repair;
    }

private:
    // The journal beside the file: a change that waits to be undone, or
    // something that is no journal in its place.
    void _journal(const std::optional<WebUser>& user, std::vector<Finding>& found) const {
        const std::string journal = journal_path(path_);
        struct stat st {};
        if (::lstat(journal.c_str(), &st) != 0) return;
        if (!S_ISREG(st.st_mode)) {
            const char* what = S_ISDIR(st.st_mode) ? "a directory" : S_ISLNK(st.st_mode) ? "a symbolic link" : "no file";
            found.push_back({"journal", journal + " is " + what + ", not a journal, so no visit can be counted: " +
                                            store_ctl("repair", name_) + " removes it"});
            return;
        }
        if (st.st_size == 0) return;  // no change in progress
        struct stat dir {};
        const bool clears = !user || store_may(st, *user, kMayWrite) ||
                            (::stat(dir_.c_str(), &dir) == 0 && store_may(dir, *user, kMayWrite | kMaySearch));
        if (clears) {
            found.push_back({"journal", "an interrupted change waits to be undone (" + journal +
                                            "): the next visit undoes it, or " + store_ctl("repair", name_)});
        } else {
            found.push_back({"journal", "an interrupted change waits to be undone (" + journal +
                                            "), which the web server user " + user->name +
                                            " may neither empty nor remove, so every visit fails: " +
                                            store_ctl("repair", name_) + " (as root or the journal's owner)"});
        }
    }

    // Copies a recovery kept beside the file: PATH.damaged, PATH.damaged-2, ...
    std::vector<std::string> _damagedcopies() const {
        std::vector<std::string> copies;
        const std::string prefix = path_.substr(dir_.size() + 1) + ".damaged";
        std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(dir_.c_str()), closedir);
        if (!dir) return copies;
        while (const dirent* entry = readdir(dir.get())) {
            const std::string file = entry->d_name;
            if (file == prefix || file.rfind(prefix + "-", 0) == 0) copies.push_back(dir_ + "/" + file);
        }
        std::sort(copies.begin(), copies.end());
        return copies;
    }

    std::string name_;
    std::string dir_;
    std::string path_;
    // The file the last visit wrote, let go of but not yet flushed to
    // disk: the sync comes when the counter, and with it the request, ends.
    GdbmHandle unsynced_;
};

class GdbmStore : public CounterStore {
public:
    GdbmStore(std::string dir_save, std::string ext) : dir_(std::move(dir_save)), ext_(std::move(ext)) {}

    const char* kind() const override { return "gdbm"; }
    std::string describe() const override { return dir_; }
    const char* sizeunit() const override { return "size"; }

    std::unique_ptr<Counter> counter(const std::string& name) override {
        if (!util_safename(name)) {
            support_errormsg("Invalid counter name ('%s'): a name may not hold '/' or '..'", name.c_str());
        }
        _requiredir();
        std::string path = dir_ + "/" + name + "." + ext_;
        if (path.size() > kMaxDbPath) {
            support_errormsg("DB file path too long (%zu characters, at most %zu)", path.size(), kMaxDbPath);
        }
        // The journal and the copies a recovery keeps beside the file must
        // fit a file name too, or no visit could ever be counted.
        if (const std::size_t most = dbutil_maxname(ext_.size()); name.size() > most) {
            support_errormsg("Counter name too long (%zu characters, at most %zu)", name.size(), most);
        }
        return std::make_unique<GdbmCounter>(name, dir_, std::move(path));
    }

    std::vector<std::string> names() override {
        _requiredir();
        std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(dir_.c_str()), closedir);
        if (!dir) support_errormsg("Save directory (%s) cannot be read: %s", dir_.c_str(), std::strerror(errno));
        const std::string suffix = "." + ext_;
        std::vector<std::string> names;
        while (const dirent* entry = readdir(dir.get())) {
            const std::string file = entry->d_name;
            if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
                continue;
            }
            const std::string name = file.substr(0, file.size() - suffix.size());
            const std::string path = dir_ + "/" + file;
            struct stat st {};
            if (!util_safename(name) || path.size() > kMaxDbPath || ::stat(path.c_str(), &st) != 0 ||
                !S_ISREG(st.st_mode)) {
                continue;
            }
            names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<Finding> inspectname(const std::string& name) override {
        const std::size_t most = dbutil_maxname(ext_.size());
        if (!util_safename(name) || name.size() <= most) return {};
        const std::string file = dir_ + "/" + name + "." + ext_;
        return {{"name", "Counter name too long (" + std::to_string(name.size()) + " characters, at most " +
                             std::to_string(most) +
                             "): the files kept beside it would not fit a file name, so no visit can be counted; "
                             "give it a shorter name: mv " + util_abspath(file) + " " +
                             util_abspath(dir_ + "/SHORTER." + ext_)}};
    }

    std::vector<Finding> inspect(const std::optional<WebUser>& user, bool repeat_minutes) override {
        std::vector<Finding> found;
        if (user && repeat_minutes) {
            const std::string visits = dir_ + "/visits";
            _gdbmstore_needs(visits, *user, kMayWrite | kMaySearch, "REPEAT_MINUTES keeps the visits there", found);
            _gdbmstore_needs(visits + "/salt", *user, kMayRead | kMayWrite, "REPEAT_MINUTES keeps the visits' salt there",
                             found);
        }
        return found;
    }

    void ping() override {
        _requiredir();
        struct stat st {};
        if (::stat(dir_.c_str(), &st) != 0) {
            support_errormsg("Save directory (%s) cannot be read: %s", dir_.c_str(), std::strerror(errno));
        }
        if (!S_ISDIR(st.st_mode)) support_errormsg("Save directory (%s) cannot be read: %s", dir_.c_str(), std::strerror(ENOTDIR));
        if (::faccessat(AT_FDCWD, dir_.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
            support_errormsg("Save directory (%s) cannot be written: %s", dir_.c_str(), std::strerror(errno));
        }
    }

private:
    // An empty DIR_SAVE would put the files at the root of the file system.
    void _requiredir() const {
        if (dir_.empty()) support_errormsg("Configuration error. DIR_SAVE is empty (%s)", kConfigFile);
    }

    std::string dir_;
    std::string ext_;
};

}  // namespace

std::unique_ptr<CounterStore> gdbmstore_open(const std::string& dir_save, const std::string& ext) {
    return std::make_unique<GdbmStore>(dir_save, ext);
}

}  // namespace vorn
