#include "health.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "journal.h"
#include "support.h"

namespace vorn {

namespace {

constexpr char kDefaultUser[] = "www-data";
constexpr std::size_t kMaxListed = 10;  // records of one kind named before "N more"
constexpr int kRead = 4, kWrite = 2, kSearch = 1;

// Whether `user` may do `want` (kRead | kWrite | kSearch) with the file
// `st`, by its permission bits as the kernel grants them (ACLs are not
// looked at).
bool _health_may(const struct stat& st, const WebUser& user, int want) {
    if (user.uid == 0) return true;
    int bits = st.st_mode & 07;
    if (st.st_uid == user.uid) {
        bits = (st.st_mode >> 6) & 07;
    } else if (std::find(user.groups.begin(), user.groups.end(), st.st_gid) != user.groups.end()) {
        bits = (st.st_mode >> 3) & 07;
    }
    return (bits & want) == want;
}

std::string _health_quoted(const std::string& text) {
    std::string shown;
    for (char c : text) shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return "'" + shown + "'";
}

// Copies a recovery kept beside `path`: PATH.damaged, PATH.damaged-2, ...
std::vector<std::string> _health_damagedcopies(const Site& site, const std::string& path) {
    std::vector<std::string> copies;
    const std::string& dir_save = site.config.dir_save;
    const std::string prefix = path.substr(dir_save.size() + 1) + ".damaged";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(dir_save.c_str()), closedir);
    if (!dir) return copies;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string file = entry->d_name;
        if (file == prefix || file.rfind(prefix + "-", 0) == 0) copies.push_back(dir_save + "/" + file);
    }
    std::sort(copies.begin(), copies.end());
    return copies;
}

void _health_permissions(const Site& site, const std::string& path, const WebUser& user, std::vector<Finding>& found) {
    const std::string& dir_save = site.config.dir_save;
    struct stat file {}, dir {};
    if (::stat(path.c_str(), &file) == 0 && !_health_may(file, user, kRead | kWrite)) {
        found.push_back({"permission", "the web server user " + user.name + " may not read and write " + path +
                                           ": chown " + user.name + " " + path});
    }
    if (::stat(dir_save.c_str(), &dir) == 0 && !_health_may(dir, user, kWrite | kSearch)) {
        found.push_back({"permission", "the web server user " + user.name + " may not write the directory " +
                                           dir_save + " (each visit keeps its journal there): chown " +
                                           user.name + " " + dir_save});
    }
}

// Names up to kMaxListed of `items` as findings of `kind`, then how many more.
void _health_list(const std::vector<std::string>& items, const std::string& kind, std::vector<Finding>& found) {
    for (std::size_t i = 0; i < items.size() && i < kMaxListed; ++i) found.push_back({kind, items[i]});
    if (items.size() > kMaxListed) {
        found.push_back({kind, "and " + std::to_string(items.size() - kMaxListed) + " more such records"});
    }
}

void _health_records(Counter& counter, std::vector<Finding>& found) {
    const std::string& name = counter.name();
    const CounterData data = counters_read(counter);
    std::vector<std::string> foreign, bad;
    for (const DbRecord& r : data.others) {
        foreign.push_back("foreign record " + _health_quoted(r.key) + (r.text ? "" : " (not stored as text)") +
                          ": not totcnt, startdate or an hour (the counter ignores it)");
    }
    const auto bad_value = [&](const std::string& key, const std::string& value, const char* want) {
        bad.push_back("record " + _health_quoted(key) + " holds " + _health_quoted(value) + ", not " + want);
    };
    std::optional<long long> total = data.total ? counters_value(*data.total) : std::optional<long long>(0);
    if (!total) bad_value(kTotalKey, *data.total, "a count");
    if (data.startdate && !counters_ishour(*data.startdate)) bad_value(kStartDateKey, *data.startdate, "an hour");
    __int128 sum = 0;
    for (const auto& [hour, value] : data.hours) {
        std::optional<long long> count = counters_value(value);
        if (count) {
            sum += *count;
        } else {
            bad_value(hour, value, "a count");
        }
    }
    _health_list(foreign, "foreign-record", found);
    _health_list(bad, "bad-value", found);
    if (total && *total < sum) {
        const std::string hours = std::to_string(static_cast<long long>(std::min<__int128>(sum, INT64_MAX)));
        found.push_back({"total-below-hours", "total " + std::to_string(*total) + " is below the sum of its hours, " +
                                                  hours + ": vornctl set-total " + name + " " + hours});
    }
}

// A counter on a server: the server answers, the name is in the set of
// counters, and the records are sound.
void _health_served(Counter& counter, std::vector<Finding>& found) {
    try {
        if (!counter.exists()) {
            found.push_back({"missing", "no such counter (" + counter.where() + ")"});
            return;
        }
        _health_records(counter, found);
    } catch (const ErrorAnswer& e) {
        found.push_back({"open", e.message() + ": is the server running, and are REDIS_ADDR and REDIS_PASSWORD_FILE "
                                               "right?"});
    }
}

}  // namespace

std::optional<WebUser> health_user(const std::optional<std::string>& requested) {
    const std::string name = requested.value_or(kDefaultUser);
    const struct passwd* pw = getpwnam(name.c_str());
    if (!pw) {
        if (requested) support_errormsg("no such user '%s'", name.c_str());
        return std::nullopt;
    }
    WebUser user{name, pw->pw_uid, pw->pw_gid, {}};
    int count = 64;
    user.groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(name.c_str(), pw->pw_gid, user.groups.data(), &count) < 0) {
        user.groups.resize(static_cast<std::size_t>(count));
        getgrouplist(name.c_str(), pw->pw_gid, user.groups.data(), &count);
    }
    user.groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    return user;
}

std::vector<Finding> health_check(const Site& site, const std::string& name, const std::optional<WebUser>& user) {
    std::vector<Finding> found;
    std::shared_ptr<Counter> counter = counters_counter(site, name);
    const std::optional<std::string> file = counters_file(site, *counter);
    if (!file) {
        _health_served(*counter, found);
        return found;
    }
    const std::string& path = *file;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        found.push_back({"missing", "no such counter (" + path + ")"});
        return found;
    }
    if (::stat(journal_path(path).c_str(), &st) == 0) {
        found.push_back({"journal", "an interrupted change waits to be undone (" + journal_path(path) +
                                        "): the next visit undoes it, or vornctl repair " + name});
    }
    for (const std::string& copy : _health_damagedcopies(site, path)) {
        found.push_back({"damaged-copy", "the original of a recovered file is kept as " + copy +
                                             ": compare it with the counter, then remove it"});
    }
    if (user) _health_permissions(site, path, *user, found);
    try {
        const DbInspection inspection = dbutil_inspect(path);
        if (inspection.health == DbHealth::kNeedsRecovery) {
            found.push_back({"needs-recovery", "gdbm marks the file as needing recovery (" + inspection.cause +
                                                   "): the next visit recovers it, or vornctl repair " + name});
        } else if (inspection.health == DbHealth::kDamaged) {
            found.push_back({"damaged", "gdbm finds the file damaged (" + inspection.cause + "): vornctl repair " + name});
        } else {
            _health_records(*counter, found);
        }
    } catch (const ErrorAnswer& e) {
        dbutil_reset();
        found.push_back({"open", e.message() + ": restore the counter from a backup"});
    }
    return found;
}

Repair health_repair(const Site& site, const std::string& name) {
    std::shared_ptr<Counter> counter = counters_counter(site, name);
    counters_require(site, *counter);
    Repair repair;
    repair.file = counters_file(site, *counter);
    if (!repair.file) return repair;
    const std::string& path = *repair.file;
    DbInspection inspection;
    try {
        inspection = dbutil_inspect(path);
    } catch (const ErrorAnswer& e) {
        support_errormsg("%s: gdbm cannot open it, so it cannot be recovered; restore it from a backup", e.message().c_str());
    }
    if (inspection.health != DbHealth::kSound) {
        repair.problem = inspection.cause;
        repair.recovery = dbutil_recover(path);
    }
    struct stat st {};
    if (::stat(journal_path(path).c_str(), &st) == 0) {
        // A writer's open undoes the change its journal guards.
        dbutil_open(path, 1);
        dbutil_close();
        repair.undid_change = ::stat(journal_path(path).c_str(), &st) != 0;
    }
    return repair;
}

}  // namespace vorn
