#include "counters.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "compute.h"
#include "dbdump.h"
#include "support.h"
#include "util.h"
#include "vc.h"

namespace vorn {

namespace {

constexpr int kRead = 0;
constexpr int kWrite = 1;
constexpr int kStyleDay = 4;    // "%Y/%m/%d"
constexpr int kStyleHour = 5;   // "%Y/%m/%d/%H"
constexpr int kStyleMonth = 6;  // "%Y/%m"
constexpr int kStyleYear = 15;  // "%Y"
constexpr long long kMaxCount = 999999999999999999LL;  // 18 digits

bool _counters_digits(const std::string& text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

int _counters_field(const std::string& text, std::size_t from, std::size_t count) {
    return std::stoi(text.substr(from, count));
}

// A stored count that a change adds to; anything else stops the change.
long long _counters_stored(const std::string& key, const std::string& value) {
    std::optional<long long> count = counters_value(value);
    if (!count) support_errormsg("record '%s' holds '%s', which is no count (see vornctl check)", key.c_str(), value.c_str());
    return *count;
}

long long _counters_sum(long long a, long long b, const std::string& key) {
    std::optional<long long> sum = counters_add(a, b);
    if (!sum) support_errormsg("count of '%s' would pass 18 digits", key.c_str());
    return *sum;
}

// Run as root, a new counter file is given to the owner of the save
// directory (the web server user in a site set up as README says), so that
// vorncounter can write it.
void _counters_adopt(const Site& site, const std::string& path) {
    if (geteuid() != 0) return;
    struct stat dir {};
    if (::stat(site.dir_save.c_str(), &dir) != 0 || chown(path.c_str(), dir.st_uid, dir.st_gid) != 0) {
        support_errormsg("cannot give %s to the owner of %s: %s", path.c_str(), site.dir_save.c_str(), std::strerror(errno));
    }
}

}  // namespace

Site counters_site() {
    struct stat st {};
    if (::stat(kConfigFile, &st) == 0 && !util_filecheck(kConfigFile)) {
        support_errormsg("Configuration file('%s') cannot be read: %s", kConfigFile, std::strerror(errno));
    }
    const CGICONFIG config = _vc_fillconfiguration(util_fdecoder(kConfigFile));
    if (config.dir_save.empty()) support_errormsg("Configuration error. DIR_SAVE is empty (%s)", kConfigFile);
    return {config.dir_save, config.dbfile_ext};
}

std::string counters_path(const Site& site, const std::string& name) {
    if (name.empty()) support_errormsg("Invalid counter name (''): a name may not be empty");
    if (!util_safename(name)) {
        support_errormsg("Invalid counter name ('%s'): a name may not hold '/' or '..'", name.c_str());
    }
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        support_errormsg("Invalid counter name: a name may not hold control characters");
    }
    std::string path = site.dir_save + "/" + name + "." + site.ext;
    if (path.size() > kMaxDbPath) {
        support_errormsg("DB file path too long (%zu characters, at most %zu)", path.size(), kMaxDbPath);
    }
    return path;
}

std::vector<std::string> counters_names(const Site& site) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(site.dir_save.c_str()), closedir);
    if (!dir) support_errormsg("Save directory (%s) cannot be read: %s", site.dir_save.c_str(), std::strerror(errno));
    const std::string suffix = "." + site.ext;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string file = entry->d_name;
        if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        const std::string name = file.substr(0, file.size() - suffix.size());
        const std::string path = site.dir_save + "/" + file;
        struct stat st {};
        if (!util_safename(name) || path.size() > kMaxDbPath || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void counters_require(const std::string& name, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) support_errormsg("no such counter '%s' (%s)", name.c_str(), path.c_str());
}

bool counters_ishour(const std::string& key) {
    if (key.size() != 13 || key[4] != '/' || key[7] != '/' || key[10] != '/') return false;
    if (!_counters_digits(key, 0, 4) || !_counters_digits(key, 5, 2) || !_counters_digits(key, 8, 2) ||
        !_counters_digits(key, 11, 2)) {
        return false;
    }
    const int year = _counters_field(key, 0, 4), month = _counters_field(key, 5, 2);
    const int day = _counters_field(key, 8, 2), hour = _counters_field(key, 11, 2);
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || hour > 23 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

std::optional<long long> counters_value(const std::string& text) {
    if (text.empty() || text.size() > 18 || !_counters_digits(text, 0, text.size())) return std::nullopt;
    return std::stoll(text);
}

std::optional<long long> counters_add(long long a, long long b) {
    if (a < 0 || b < 0 || a > kMaxCount - b) return std::nullopt;
    return a + b;
}

CounterData counters_read(const std::string& path) {
    CounterData data;
    dbutil_open(path, kRead);
    dbutil_walk([&](const DbRecord& record) {
        if (!record.text) {
            data.others.push_back(record);
        } else if (record.key == kTotalKey) {
            data.total = record.value;
        } else if (record.key == kStartDateKey) {
            data.startdate = record.value;
        } else if (counters_ishour(record.key)) {
            data.hours[record.key] = record.value;
        } else {
            data.others.push_back(record);
        }
    });
    dbutil_close();
    return data;
}

Periods counters_periods(const std::string& path) {
    VDB vdb;
    vdb.dbfile = path;
    const auto day = [&](long ago) { return util_tolong(compute_getdaycount(vdb, support_returntime(kStyleDay, ago))); };
    Periods p;
    for (int i = 0; i < 7; ++i) p.last7[static_cast<std::size_t>(i)] = day(6 - i);
    p.today = p.last7[6];
    p.yesterday = p.last7[5];
    p.month = util_tolong(compute_getmonthcount(vdb, support_returntime(kStyleMonth, 0)));
    p.year = util_tolong(compute_getyearcount(vdb, support_returntime(kStyleYear, 0)));
    return p;
}

void counters_create(const Site& site, const std::string& name, const std::string& path,
                     std::optional<long long> total) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) support_errormsg("counter '%s' already exists (%s)", name.c_str(), path.c_str());
    errno = 0;
    if (dbutil_create(path) != 1) {
        support_errormsg("cannot create counter '%s' (%s): %s", name.c_str(), path.c_str(), std::strerror(errno));
    }
    _counters_adopt(site, path);
    if (total && *total != 0) counters_settotal(path, *total);
}

void counters_delete(const std::string& path) { dbutil_remove(path); }

std::optional<std::string> counters_settotal(const std::string& path, long long total) {
    dbutil_open(path, kWrite);
    std::optional<std::string> previous = dbutil_fetch("%s", kTotalKey);
    std::vector<DbChange> changes = {{kTotalKey, std::to_string(total)}};
    if (total != 0 && !dbutil_fetch("%s", kStartDateKey)) {
        changes.push_back({kStartDateKey, support_returntime(kStyleHour, 0)});
    }
    dbutil_update(changes);
    dbutil_close();
    return previous;
}

long long counters_addhours(const std::string& path, const std::map<std::string, long long>& hours) {
    dbutil_open(path, kWrite);
    std::vector<DbChange> changes;
    long long added = 0;
    std::optional<std::string> earliest;
    for (const auto& [hour, count] : hours) {
        if (count == 0) continue;
        std::optional<std::string> old = dbutil_fetch("%s", hour.c_str());
        const long long now = old ? _counters_stored(hour, *old) : 0;
        changes.push_back({hour, std::to_string(_counters_sum(now, count, hour))});
        added = _counters_sum(added, count, kTotalKey);
        if (!earliest) earliest = hour;  // the map is in ascending order
    }
    std::optional<std::string> old_total = dbutil_fetch("%s", kTotalKey);
    const long long total = _counters_sum(old_total ? _counters_stored(kTotalKey, *old_total) : 0, added, kTotalKey);
    if (!changes.empty()) {
        changes.push_back({kTotalKey, std::to_string(total)});
        std::optional<std::string> start = dbutil_fetch("%s", kStartDateKey);
        if (!start || *start > *earliest) changes.push_back({kStartDateKey, *earliest});
        dbutil_update(changes);
    }
    dbutil_close();
    return total;
}

void counters_dump(const std::string& path, std::FILE* out) {
    dbutil_open(path, kRead);
    if (dbutil_interrupted()) {
        dbutil_close();
        dbutil_open(path, kWrite);
    }
    dbdump_write(out, path);
    dbutil_close();
}

void counters_restore(const Site& site, const std::string& path, std::FILE* dump, const std::string& dumpname) {
    // One restore at a time per process: the name need not hold the
    // counter's, which may be as long as a file name can be.
    const std::string temp = site.dir_save + "/.vornctl-restore-" + std::to_string(getpid());
    ::unlink(temp.c_str());
    dbdump_load(temp, dump, dumpname);
    try {
        struct stat old {};
        if (::stat(path.c_str(), &old) == 0) {
            if (chmod(temp.c_str(), old.st_mode & 07777) != 0 ||
                (geteuid() == 0 && chown(temp.c_str(), old.st_uid, old.st_gid) != 0)) {
                support_errormsg("cannot give %s the owner and mode of %s: %s", temp.c_str(), path.c_str(),
                                 std::strerror(errno));
            }
        } else {
            _counters_adopt(site, temp);
        }
        dbutil_replace(path, temp);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

}  // namespace vorn
