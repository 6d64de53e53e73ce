#include "counters.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
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
// vorncounter can write it; otherwise it stays the running user's.
std::optional<FileOwner> _counters_newowner(const Site& site) {
    if (geteuid() != 0) return std::nullopt;
    const std::string& dir_save = site.config.dir_save;
    struct stat dir {};
    if (::stat(dir_save.c_str(), &dir) != 0) {
        support_errormsg("cannot read the owner of %s: %s", dir_save.c_str(), std::strerror(errno));
    }
    return FileOwner{dir.st_uid, dir.st_gid};
}

// The save directory may be writable by the web server user: a symbolic
// link planted at a counter's name would have a tool run as root make or
// give away a file wherever it points. It is refused, naming it.
void _counters_refuselink(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        support_errormsg("%s is a symbolic link, which is not followed: remove it", path.c_str());
    }
}

// The mode a new file gets from an open with mode 0644: less the umask.
mode_t _counters_newmode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0644 & ~mask;
}

// A private directory for a scratch gdbm file, removed with all it holds:
// where a dump of a counter that is no file is made and read.
class ScratchDir {
public:
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vornctl-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            support_errormsg("cannot make a scratch directory %s: %s", pattern.c_str(), std::strerror(errno));
        }
        dir_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file() const { return dir_ + "/counter.db"; }

private:
    std::string dir_;
};

// Thrown out of a change whose counter is no longer as it was read.
struct StaleRead {};
constexpr int kReplaceAttempts = 5;

}  // namespace

Site counters_site() {
    struct stat st {};
    if (::stat(kConfigFile, &st) == 0 && !util_filecheck(kConfigFile)) {
        support_errormsg("Configuration file('%s') cannot be read: %s", kConfigFile, std::strerror(errno));
    }
    const CGICONFIG cgiconfig = _vc_fillconfiguration(util_fdecoder(kConfigFile));
    const STORECONFIG config = vc_storeconfig(cgiconfig);
    return {config, store_open(config), cgiconfig};
}

Site counters_site(const Site& site, const std::string& kind) {
    STORECONFIG config = site.config;
    config.store = kind;
    return {config, store_open(config), site.cgiconfig};
}

bool counters_onfiles(const Site& site) { return std::strcmp(site.store->kind(), kGdbmStore) == 0; }

std::shared_ptr<Counter> counters_counter(const Site& site, const std::string& name) {
    // "/" and ".." (and a name too long for its store) are the store's to
    // refuse; the tool also refuses names a shell or a terminal would garble.
    if (name.empty()) support_errormsg("Invalid counter name (''): a name may not be empty");
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        support_errormsg("Invalid counter name: a name may not hold control characters");
    }
    // vorncounter trims the blanks around every request value, so a
    // counter whose name has them could never be asked for.
    if (name.front() == ' ' || name.back() == ' ') {
        support_errormsg("Invalid counter name ('%s'): a name may not begin or end with a blank", name.c_str());
    }
    return site.store->counter(name);
}

std::optional<std::string> counters_file(const Site& site, const Counter& counter) {
    if (!counters_onfiles(site)) return std::nullopt;
    return counter.where();
}

std::vector<std::string> counters_names(const Site& site) { return site.store->names(); }

bool counters_exists(const Site& site, Counter& counter) {
    // A file that is there is a counter, also one this user may not read:
    // opening it then names the real problem. Whatever stands at the name
    // is there, a symbolic link too, which is not followed.
    struct stat st {};
    if (std::optional<std::string> path = counters_file(site, counter)) return ::lstat(path->c_str(), &st) == 0;
    return counter.exists();
}

void counters_require(const Site& site, Counter& counter) {
    if (!counters_exists(site, counter)) {
        support_errormsg("no such counter '%s' (%s)", counter.name().c_str(), counter.where().c_str());
    }
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

CounterData counters_read(Counter& counter) { return counters_data(counter.records()); }

CounterData counters_data(const std::vector<DbRecord>& records) {
    CounterData data;
    data.records = records.size();
    for (const DbRecord& record : records) {
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
    }
    return data;
}

long long counters_hoursum(const CounterData& data) {
    long long sum = 0;
    for (const auto& [hour, value] : data.hours) {
        std::optional<long long> count = counters_value(value);
        if (count && __builtin_add_overflow(sum, *count, &sum)) return std::numeric_limits<long long>::max();
    }
    return sum;
}

Periods counters_periods(const std::shared_ptr<Counter>& counter) {
    VDB vdb;
    vdb.counter = counter;
    vdb.dbfile = counter->where();
    const auto day = [&](long ago) { return util_tolong(compute_getdaycount(vdb, support_returntime(kStyleDay, ago))); };
    Periods p;
    for (int i = 0; i < 7; ++i) p.last7[static_cast<std::size_t>(i)] = day(6 - i);
    p.today = p.last7[6];
    p.yesterday = p.last7[5];
    p.month = util_tolong(compute_getmonthcount(vdb, support_returntime(kStyleMonth, 0)));
    p.year = util_tolong(compute_getyearcount(vdb, support_returntime(kStyleYear, 0)));
    return p;
}

void counters_create(const Site& site, Counter& counter, std::optional<long long> total) {
    const std::string& name = counter.name();
    if (std::optional<std::string> path = counters_file(site, counter)) _counters_refuselink(*path);
    if (counters_exists(site, counter)) {
        support_errormsg("counter '%s' already exists (%s)", name.c_str(), counter.where().c_str());
    }
    if (std::optional<std::string> path = counters_file(site, counter)) {
        errno = 0;
        if (dbutil_create(*path, _counters_newowner(site)) != 1) {
            support_errormsg("cannot create counter '%s' (%s): %s", name.c_str(), path->c_str(), std::strerror(errno));
        }
    } else if (!counter.create()) {
        support_errormsg("counter '%s' already exists (%s)", name.c_str(), counter.where().c_str());
    }
    if (total && *total != 0) counters_settotal(counter, *total);
}

void counters_delete(Counter& counter) { counter.remove(); }

std::optional<std::string> counters_settotal(Counter& counter, long long total) {
    std::optional<std::string> previous;
    counter.change([&](const StoreGet& get) {
        previous = get(kTotalKey);
        std::vector<DbChange> changes = {{kTotalKey, std::to_string(total)}};
        if (total != 0 && !get(kStartDateKey)) changes.push_back({kStartDateKey, support_returntime(kStyleHour, 0)});
        return changes;
    });
    return previous;
}

long long counters_addhours(Counter& counter, const std::map<std::string, long long>& hours) {
    long long total = 0;
    counter.change([&](const StoreGet& get) {
        std::vector<DbChange> changes;
        long long added = 0;
        std::optional<std::string> earliest;
        for (const auto& [hour, count] : hours) {
            if (count == 0) continue;
            std::optional<std::string> old = get(hour);
            const long long now = old ? _counters_stored(hour, *old) : 0;
            changes.push_back({hour, std::to_string(_counters_sum(now, count, hour))});
            added = _counters_sum(added, count, kTotalKey);
            if (!earliest) earliest = hour;  // the map is in ascending order
        }
        std::optional<std::string> old_total = get(kTotalKey);
        total = _counters_sum(old_total ? _counters_stored(kTotalKey, *old_total) : 0, added, kTotalKey);
        if (!changes.empty()) {
            changes.push_back({kTotalKey, std::to_string(total)});
            std::optional<std::string> start = get(kStartDateKey);
            if (!start || *start > *earliest) changes.push_back({kStartDateKey, *earliest});
        }
        return changes;
    });
    return total;
}

void counters_requiretext(const DbRecord& record, const std::string& what) {
    if (record.text && record.key.find('\0') == std::string::npos && record.value.find('\0') == std::string::npos) {
        return;
    }
    std::string key;
    for (char c : record.key) key += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    support_errormsg("record '%s' of %s is not stored as text, which the %s store cannot hold", key.c_str(),
                     what.c_str(), record.text ? kGdbmStore : kRedisStore);
}

void counters_replace(Counter& counter, const std::vector<DbRecord>& records) {
    std::map<std::string, std::string> wanted;
    for (const DbRecord& record : records) wanted[record.key] = record.value;
    for (int attempt = 0; attempt < kReplaceAttempts; ++attempt) {
        std::map<std::string, std::string> read;
        for (const DbRecord& record : counter.records()) {
            if (record.text) read[record.key] = record.value;
        }
        try {
            counter.change([&](const StoreGet& get) {
                // The records it read are still there as they were, and no
                // visit came since (each raises "totcnt"): no record the
                // read missed needs removing.
                for (const auto& [key, value] : read) {
                    if (get(key) != value) throw StaleRead{};
                }
                for (const char* key : {kTotalKey, kStartDateKey}) {
                    if (!read.count(key) && get(key)) throw StaleRead{};
                }
                std::vector<DbChange> changes;
                for (const auto& [key, value] : read) {
                    if (!wanted.count(key)) changes.push_back({key, std::nullopt});
                }
                for (const auto& [key, value] : wanted) {
                    auto now = read.find(key);
                    if (now == read.end() || now->second != value) changes.push_back({key, value});
                }
                return changes;
            });
            return;
        } catch (const StaleRead&) {
            dbutil_reset();  // a gdbm change leaves its file open when its edit throws
        }
    }
    support_errormsg("counter '%s' kept changing; try again", counter.name().c_str());
}

void counters_dump(const Site& site, Counter& counter, std::FILE* out) {
    if (std::optional<std::string> path = counters_file(site, counter)) {
        dbutil_open(*path, kRead);
        if (dbutil_interrupted()) {
            dbutil_close();
            dbutil_open(*path, kWrite);
        }
        dbdump_write(out, *path);
        dbutil_close();
        return;
    }
    // gdbm itself writes the dump, of a scratch file that holds the records
    // as vorncounter stores them in a counter file.
    std::vector<DbChange> changes;
    for (const DbRecord& record : counter.records()) {
        counters_requiretext(record, counter.where());
        changes.push_back({record.key, record.value});
    }
    ScratchDir scratch;
    const std::string file = scratch.file();
    errno = 0;
    if (dbutil_create(file) != 1) support_errormsg("cannot create %s: %s", file.c_str(), std::strerror(errno));
    dbutil_open(file, kWrite);
    if (!changes.empty()) dbutil_update(changes);
    dbdump_write(out, file);
    dbutil_close();
}

void counters_restore(const Site& site, Counter& counter, std::FILE* dump, const std::string& dumpname) {
    std::optional<std::string> path = counters_file(site, counter);
    if (!path) {
        std::vector<DbRecord> records;
        {
            ScratchDir scratch;
            const std::string file = scratch.file();
            UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!fd) support_errormsg("cannot create %s: %s", file.c_str(), std::strerror(errno));
            dbdump_load(std::move(fd), file, dump, dumpname);
            dbutil_open(file, kRead);
            dbutil_walk([&](const DbRecord& record) { records.push_back(record); });
            dbutil_close();
        }
        for (const DbRecord& record : records) counters_requiretext(record, dumpname);
        if (!counters_exists(site, counter)) counters_create(site, counter, std::nullopt);
        counters_replace(counter, records);
        return;
    }
    // The dump is loaded into a new file of the save directory under a name
    // no one can guess, given the mode and owner of the file it replaces (of
    // a new counter: as counters_create gives them) on its descriptor, and
    // then put in the counter's place by one rename.
    _counters_refuselink(*path);
    mode_t mode = _counters_newmode();
    std::optional<FileOwner> owner = _counters_newowner(site);
    struct stat old {};
    if (::lstat(path->c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 07777;
        owner = FileOwner{old.st_uid, old.st_gid};
    }
    std::string temp;
    UniqueFd fd = util_mktemp(site.config.dir_save, ".vornctl-restore-", temp);
    if (!fd) support_errormsg("cannot create a file in %s: %s", site.config.dir_save.c_str(), std::strerror(errno));
    if (fchmod(fd.get(), mode) != 0 || (geteuid() == 0 && owner && fchown(fd.get(), owner->uid, owner->gid) != 0)) {
        const int error = errno;
        ::unlink(temp.c_str());
        support_errormsg("cannot give %s the owner and mode of %s: %s", temp.c_str(), path->c_str(), std::strerror(error));
    }
    dbdump_load(std::move(fd), temp, dump, dumpname);
    try {
        dbutil_replace(*path, temp);
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

}  // namespace vorn
