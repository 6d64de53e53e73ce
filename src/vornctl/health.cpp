#include "health.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "journal.h"
#include "rules.h"
#include "support.h"
#include "vc.h"
#include "visits.h"

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

// `path` as a command pasted anywhere needs it: absolute, without "./".
std::string _health_abs(const std::string& path) {
    std::error_code ec;
    std::string abs = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec) return path;
    if (abs.size() > 1 && abs.back() == '/') abs.pop_back();
    return abs;
}

// "vornctl -C SITE COMMAND NAME", to paste from any directory.
std::string _health_ctl(const std::string& command, const std::string& name) {
    return "vornctl -C " + _health_abs(".") + " " + command + " " + name;
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

// The counting rules of the site; none when they cannot be read (which
// health_site reports).
RULES _health_rules(const Site& site) {
    try {
        return rules_read(site.cgiconfig);
    } catch (const ErrorAnswer&) {
        return RULES{};
    }
}

// A finding that `user` may not do `want` with the file `path`, when so.
// `why` says what needs it; the fix gives the file to the user.
void _health_needs(const std::string& path, const WebUser& user, int want, const std::string& why,
                   std::vector<Finding>& found) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || _health_may(st, user, want)) return;
    const bool dir = S_ISDIR(st.st_mode);
    found.push_back({"permission", "the web server user " + user.name + " may not " +
                                       (dir ? "write the directory " : "read and write ") + path + " (" + why +
                                       "): chown " + (dir && why.find("visits") != std::string::npos ? "-R " : "") +
                                       user.name + " " + _health_abs(path)});
}

void _health_permissions(const Site& site, const std::string& path, const WebUser& user, std::vector<Finding>& found) {
    _health_needs(path, user, kRead | kWrite, "every visit writes it", found);
    _health_needs(site.config.dir_save, user, kWrite | kSearch, "each visit keeps its journal there", found);
    _health_needs(journal_path(path), user, kRead | kWrite, "each visit notes its change there first", found);
    if (_health_rules(site).repeat_minutes > 0) {
        _health_needs(visits_path(path), user, kRead | kWrite, "REPEAT_MINUTES keeps the counter's visits there", found);
    }
}

// The journal beside `path`: a change that waits to be undone, or something
// that is no journal in its place.
void _health_journal(const std::string& path, const std::string& name, const std::optional<WebUser>& user,
                     std::vector<Finding>& found) {
    const std::string journal = journal_path(path);
    struct stat st {};
    if (::lstat(journal.c_str(), &st) != 0) return;
    if (!S_ISREG(st.st_mode)) {
        found.push_back({"journal", journal + " is " + (S_ISDIR(st.st_mode) ? "a directory" : S_ISLNK(st.st_mode) ? "a symbolic link" : "no file") +
                                        ", not a journal, so no visit can be counted: " + _health_ctl("repair", name) +
                                        " removes it"});
        return;
    }
    if (st.st_size == 0) return;  // no change in progress
    struct stat dir {};
    const std::string parent = std::filesystem::path(journal).parent_path().string();
    const bool clears = !user || _health_may(st, *user, kWrite) ||
                        (::stat(parent.empty() ? "." : parent.c_str(), &dir) == 0 && _health_may(dir, *user, kWrite | kSearch));
    if (clears) {
        found.push_back({"journal", "an interrupted change waits to be undone (" + journal +
                                        "): the next visit undoes it, or " + _health_ctl("repair", name)});
    } else {
        found.push_back({"journal", "an interrupted change waits to be undone (" + journal + "), which the web server user " +
                                        user->name + " may neither empty nor remove, so every visit fails: " +
                                        _health_ctl("repair", name) + " (as root or the journal's owner)"});
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
                                                  hours + ": " + _health_ctl("set-total", name + " " + hours)});
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

// The closest of `keys` to `key` by edit distance, when it is close
// enough to be a typing mistake.
std::optional<std::string> _health_closest(const std::string& key, const std::vector<std::string>& keys) {
    std::optional<std::string> best;
    std::size_t best_distance = 3;
    for (const std::string& k : keys) {
        std::vector<std::size_t> row(k.size() + 1);
        for (std::size_t j = 0; j <= k.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= key.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= k.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (key[i - 1] == k[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        if (row[k.size()] < best_distance) {
            best_distance = row[k.size()];
            best = k;
        }
    }
    return best;
}

}  // namespace

std::vector<Finding> health_site(const Site& site, const std::optional<WebUser>& user) {
    std::vector<Finding> found;
    const std::string conf = _health_abs(kConfigFile);
    const std::vector<std::string> keys = vc_configkeys();
    for (const Entry& entry : util_fdecoder(kConfigFile)) {
        if (entry.name.empty() || std::find(keys.begin(), keys.end(), entry.name) != keys.end()) continue;
        std::optional<std::string> closest = _health_closest(entry.name, keys);
        found.push_back({"unknown-key", "unknown key " + _health_quoted(entry.name) + " in " + conf + " is ignored" +
                                            (closest ? ": did you mean " + *closest + "?" : ": remove the line")});
    }
    // Each counting rule on its own, so that every bad value is named.
    for (std::string CGICONFIG::*key : {&CGICONFIG::ignore_addr, &CGICONFIG::ignore_bots, &CGICONFIG::repeat_minutes}) {
        CGICONFIG one;
        one.*key = site.cgiconfig.*key;
        try {
            rules_read(one);
        } catch (const ErrorAnswer& e) {
            found.push_back({"config", e.message() + ": every visit that would count answers this error; mend it in " + conf});
        }
    }
    if (user && counters_onfiles(site) && _health_rules(site).repeat_minutes > 0) {
        const std::string visits = site.config.dir_save + "/visits";
        _health_needs(visits, *user, kWrite | kSearch, "REPEAT_MINUTES keeps the visits there", found);
        _health_needs(visits + "/salt", *user, kRead | kWrite, "REPEAT_MINUTES keeps the visits' salt there", found);
    }
    return found;
}

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
    // A counter file made before names were bounded: its journal or the
    // copies of a recovery would not fit a file name.
    if (counters_onfiles(site) && name.size() > dbutil_maxname(site.config.dbfile_ext.size()) && util_safename(name)) {
        const std::string file = site.config.dir_save + "/" + name + "." + site.config.dbfile_ext;
        found.push_back({"name", "Counter name too long (" + std::to_string(name.size()) + " characters, at most " +
                                     std::to_string(dbutil_maxname(site.config.dbfile_ext.size())) +
                                     "): the files kept beside it would not fit a file name, so no visit can be counted; "
                                     "give it a shorter name: mv " + _health_abs(file) + " " +
                                     _health_abs(site.config.dir_save + "/SHORTER." + site.config.dbfile_ext)});
        return found;
    }
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
    _health_journal(path, name, user, found);
    for (const std::string& copy : _health_damagedcopies(site, path)) {
        found.push_back({"damaged-copy", "the original of a recovered file is kept as " + copy +
                                             ": compare it with the counter, then remove it"});
    }
    if (user) _health_permissions(site, path, *user, found);
    try {
        const DbInspection inspection = dbutil_inspect(path);
        if (inspection.health == DbHealth::kNeedsRecovery) {
            found.push_back({"needs-recovery", "gdbm marks the file as needing recovery (" + inspection.cause +
                                                   "): the next visit recovers it, or " + _health_ctl("repair", name)});
        } else if (inspection.health == DbHealth::kDamaged) {
            found.push_back({"damaged", "gdbm finds the file damaged (" + inspection.cause + "): " + _health_ctl("repair", name)});
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
    const std::string journal = journal_path(path);
    struct stat st {};
    if (::lstat(journal.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // Something that is no journal stands in its place and fails every
        // visit: a directory goes only when it is empty.
        if ((S_ISDIR(st.st_mode) ? rmdir(journal.c_str()) : unlink(journal.c_str())) != 0) {
            support_errormsg("cannot remove %s, which is no journal: %s", journal.c_str(), std::strerror(errno));
        }
        repair.removed = journal;
    } else if (::lstat(journal.c_str(), &st) == 0 && st.st_size > 0) {
        // A writer's open undoes the change its journal guards. The emptied
        // journal goes too: one left by another user (root's, in a save
        // directory the web server may not write) would stay unwritable
        // for the web server; the next visit makes its own.
        dbutil_open(path, 1);
        dbutil_close();
        repair.undid_change = ::lstat(journal.c_str(), &st) != 0 || st.st_size == 0;
        if (repair.undid_change) journal_remove(path);
    }
    return repair;
}

}  // namespace vorn
