#include "gdbmstore.h"

#include <dirent.h>
#include <gdbm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dbutil.h"
#include "support.h"
#include "util.h"
#include "vc.h"
#include "visits.h"

namespace vorn {

namespace {

constexpr int kRead = 0;
constexpr int kWrite = 1;
constexpr int kHoursPerDay = 24;
constexpr char kTotalKey[] = "totcnt";
constexpr char kStartDateKey[] = "startdate";
constexpr char kFirstCount[] = "1";

class GdbmCounter : public Counter {
public:
    GdbmCounter(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}

    const std::string& name() const override { return name_; }
    std::string where() const override { return path_; }

    bool exists() override { return util_filecheck(path_) == 1; }

    void require() override {
        if (!exists()) support_errormsg("DB file (%s) not found", path_.c_str());
    }

    std::string visit(const std::string& hour) override {
        // The total, the hour record and, at the first hit, the start date
        // change together under one writing open: concurrent hits are
        // counted one after the other, and a hit is recorded whole or not
        // at all.
        dbutil_open(path_, kWrite);
        std::optional<std::string> tmp = dbutil_fetch("%s", kTotalKey);
        std::string count = tmp ? support_counterupdate(*tmp) : kFirstCount;
        tmp = dbutil_fetch("%s", hour.c_str());
        std::string daycount = tmp ? support_counterupdate(*tmp) : kFirstCount;
        std::vector<DbChange> visit = {{kTotalKey, count}, {hour, daycount}};
        if (count == kFirstCount) visit.push_back({kStartDateKey, hour});
        dbutil_update(visit);
        dbutil_close();
        return count;
    }

    std::optional<std::string> get(const std::string& key) override {
        dbutil_open(path_, kRead);
        std::optional<std::string> value = dbutil_fetch("%s", key.c_str());
        dbutil_close();
        return value;
    }

    std::vector<long> daysums(const std::vector<std::string>& days) override {
        // Each day is a read of its own (an open and a close), so a long sum
        // never keeps writers waiting for more than one day's fetches.
        std::vector<long> sums;
        sums.reserve(days.size());
        for (const std::string& day : days) {
            long sum = 0;
            dbutil_open(path_, kRead);
            for (int hour = 0; hour < kHoursPerDay; ++hour) {
                std::optional<std::string> tmp = dbutil_fetch(hour <= 9 ? "%s/0%d" : "%s/%d", day.c_str(), hour);
                if (tmp) sum = util_addcount(sum, util_tolong(*tmp));
            }
            dbutil_close();
            sums.push_back(sum);
        }
        return sums;
    }

    std::vector<DbRecord> records() override {
        std::vector<DbRecord> all;
        dbutil_open(path_, kRead);
        dbutil_walk([&](const DbRecord& record) { all.push_back(record); });
        dbutil_close();
        return all;
    }

    void change(const StoreEdit& edit) override {
        dbutil_open(path_, kWrite);
        const std::vector<DbChange> changes = edit([](const std::string& key) { return dbutil_fetch("%s", key.c_str()); });
        if (!changes.empty()) dbutil_update(changes);
        dbutil_close();
    }

    bool create() override {
        if (exists()) return false;
        errno = 0;
        if (dbutil_create(path_) != 1) {
            support_errormsg("DB create error. %s (%s)", std::strerror(errno ? errno : EIO), path_.c_str());
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

private:
    std::string name_;
    std::string path_;
};

class GdbmStore : public CounterStore {
public:
    GdbmStore(std::string dir_save, std::string ext) : dir_(std::move(dir_save)), ext_(std::move(ext)) {}

    const char* kind() const override { return "gdbm"; }
    std::string describe() const override { return dir_; }

    std::unique_ptr<Counter> counter(const std::string& name) override {
        if (!util_safename(name)) {
            support_errormsg("Invalid counter name ('%s'): a name may not hold '/' or '..'", name.c_str());
        }
        std::string path = dir_ + "/" + name + "." + ext_;
        if (path.size() > kMaxDbPath) {
            support_errormsg("DB file path too long (%zu characters, at most %zu)", path.size(), kMaxDbPath);
        }
        // The journal and the copies a recovery keeps beside the file must
        // fit a file name too, or no visit could ever be counted.
        if (const std::size_t most = dbutil_maxname(ext_.size()); name.size() > most) {
            support_errormsg("Counter name too long (%zu characters, at most %zu)", name.size(), most);
        }
        return std::make_unique<GdbmCounter>(name, std::move(path));
    }

    std::vector<std::string> names() override {
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

private:
    std::string dir_;
    std::string ext_;
};

}  // namespace

std::unique_ptr<CounterStore> gdbmstore_open(const std::string& dir_save, const std::string& ext) {
    if (dir_save.empty()) support_errormsg("Configuration error. DIR_SAVE is empty (%s)", kConfigFile);
    return std::make_unique<GdbmStore>(dir_save, ext);
}

std::unique_ptr<Counter> gdbmstore_counter(const std::string& name, const std::string& path) {
    return std::make_unique<GdbmCounter>(name, path);
}

}  // namespace vorn
