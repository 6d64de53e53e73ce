// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/health.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "base/support.h"
#include "base/util.h"
#include "counting/rules.h"
#include "metrics/metrics.h"
#include "metrics/metricsfile.h"

namespace vorn {

namespace {

constexpr char kDefaultUser[] = "www-data";
constexpr std::size_t kMaxListed = 10;  // records of one kind named before "N more"

// Built by appending: GCC 12 warns wrongly (-Wrestrict) on "'" + a temporary.
std::string _health_quoted(const std::string& text) {
    std::string quoted = "'";
    quoted += util_printable(text);
    quoted += '\'';
    return quoted;
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
    if (data.startdate && !store_ishour(*data.startdate)) bad_value(kStartDateKey, *data.startdate, "an hour");
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
                                                  hours + ": " + store_ctl("set-total", name + " " + hours)});
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

// The configuration counter `name` counts by: the site's with what its own
// file sets; the site's when that file cannot be read (health_counterfiles
// reports it).
CGICONFIG _health_config(const Site& site, const std::string& name) {
    FileCache<EntryList> once(0, kMaxCounterConfigFile);
    try {
        return config_readcounter(site.config, name, once);
    } catch (const ErrorAnswer&) {
        return site.config;
    }
}

// Whether RATE_LIMIT or REPEAT_MINUTES keeps visits under `config`; not
// when the rules cannot be read (which is reported apart).
bool _health_keepsvisits(const CGICONFIG& config) {
    try {
        const RULES rules = rules_read(config);
        return rules.repeat_minutes > 0 || rules.rate_visits > 0;
    } catch (const ErrorAnswer&) {
        return false;
    }
}

// Each counting key of `config` (and TRUSTED_PROXIES with `proxies`) read
// on its own, so that every bad value is named; `what` says what answers
// the error, `file` where to mend it.
void _health_values(const CGICONFIG& config, bool proxies, const std::string& what, const std::string& file,
                    std::vector<Finding>& found) {
    const auto report = [&](const ErrorAnswer& e) {
        found.push_back({"config", e.message() + ": " + what + " answers this error; mend it in " + file});
    };
    for (std::string CGICONFIG::*key : {&CGICONFIG::ignore_addr, &CGICONFIG::count_agents, &CGICONFIG::ignore_bots,
                                        &CGICONFIG::rate_limit, &CGICONFIG::repeat_minutes}) {
        CGICONFIG one;
        one.*key = config.*key;
        one.origin = config.origin;
        try {
            rules_read(one);
        } catch (const ErrorAnswer& e) {
            report(e);
        }
    }
    if (!proxies) return;
    try {
        rules_readproxies(config);
    } catch (const ErrorAnswer& e) {
        report(e);
    }
}

// What keeps the figures of METRICS from being kept: a bad METRICS_ADDR,
// METRICS_ADDR without METRICS, a file that is not a sound metrics file
// (a foreign one is never replaced; a damaged one, or one of another
// version or size, is replaced at the next request and its figures lost),
// a folder or file the web server user may not write.
void _health_metrics(const CGICONFIG& config, const std::optional<WebUser>& user, const std::string& conf,
                     std::vector<Finding>& found) {
    try {
        rules_readmetricsaddrs(config);
    } catch (const ErrorAnswer& e) {
        found.push_back({"config", e.message() + ": mode=metrics and mode=health answer this error; mend it in " + conf});
    }
    if (config.metrics.empty()) {
        if (!config.metrics_addr.empty()) {
            found.push_back({"metrics", "METRICS_ADDR is set but METRICS is not: mode=metrics answers 503 and no "
                                        "figures are kept; set METRICS in " + conf});
        }
        return;
    }
    const std::string path = util_abspath(config.metrics);
    const std::string dir = std::filesystem::path(path).parent_path().string();
    const MetricsOpened read = metricsfile_read(config.metrics, metrics_layout());
    switch (read.state) {
        case MetricsState::kOpen:
        case MetricsState::kMissing: break;
        case MetricsState::kForeign:
            found.push_back({"metrics", path + " is not a metrics file, so no figures are kept (it is left as it is): "
                                               "point METRICS in " + conf + " at a file of its own"});
            return;
        case MetricsState::kUnusable:
            found.push_back({"metrics", path + " is " + metricsfile_describe(read.state) +
                                            ", so no figures are kept: remove it, the next request makes the file"});
            return;
        case MetricsState::kLayout:
        case MetricsState::kDamaged:
        case MetricsState::kSize:
            found.push_back({"metrics", path + " is " + metricsfile_describe(read.state) +
                                            ": the next request replaces it, and the figures in it are lost"});
            break;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        found.push_back({"metrics", "the folder " + dir + " of METRICS does not exist, so no figures are kept: mkdir " +
                                        dir + (user ? " && chown " + user->name + " " + dir : "")});
        return;
    }
    if (!user) return;
    // The file is made, and replaced, beside itself.
    if (!store_may(st, *user, kMayWrite | kMaySearch)) {
        found.push_back({"permission", "the web server user " + user->name + " may not write the directory " + dir +
                                           " (METRICS is made there), so no figures are kept: chown " + user->name +
                                           " " + dir});
    }
    if (read.state == MetricsState::kOpen && ::stat(path.c_str(), &st) == 0 &&
        !store_may(st, *user, kMayRead | kMayWrite)) {
        found.push_back({"permission", "the web server user " + user->name + " may not read and write " + path +
                                           ", so no figures are kept: chown " + user->name + " " + path});
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

std::vector<Finding> health_site(const Site& site, const std::optional<WebUser>& user) {
    std::vector<Finding> found;
    const std::string conf = util_abspath(kConfigFile);
    const std::vector<std::string> keys = config_keys();
    for (const Entry& entry : util_fdecoder(kConfigFile)) {
        if (entry.name.empty() || std::find(keys.begin(), keys.end(), entry.name) != keys.end()) continue;
        std::optional<std::string> closest = _health_closest(entry.name, keys);
        found.push_back({"unknown-key", "unknown key " + _health_quoted(entry.name) + " in " + conf + " is ignored" +
                                            (closest ? ": did you mean " + *closest + "?" : ": remove the line")});
    }
    _health_values(site.config, true, "every visit that would count", conf, found);
    try {
        config_checkzone(site.config);
    } catch (const ErrorAnswer& e) {
        found.push_back({"config", e.message() + ": every request answers this error; mend it in " + conf});
    }
    _health_metrics(site.config, user, conf, found);
    for (Finding& f : site.store->inspect(user, _health_keepsvisits(site.config))) found.push_back(std::move(f));
    return found;
}

std::vector<std::pair<std::string, std::vector<Finding>>> health_counterfiles(const Site& site) {
    std::vector<std::pair<std::string, std::vector<Finding>>> reports;
    std::error_code ec;
    std::vector<std::string> files;
    for (std::filesystem::directory_iterator it(kCounterConfigDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if (file.size() > 5 && file.compare(file.size() - 5, 5, ".conf") == 0) files.push_back(file);
    }
    std::sort(files.begin(), files.end());
    const std::vector<std::string> names = files.empty() ? std::vector<std::string>() : site.store->names();
    const std::vector<std::string> keys = config_countingkeys();
    for (const std::string& file : files) {
        const std::string name = file.substr(0, file.size() - 5);
        const std::string path = config_counterfile(name);
        const std::string where = util_abspath(path);
        std::vector<Finding> found;
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            found.push_back({"orphan", "the rules of " + _health_quoted(name) +
                                           ", which is no counter, are not used: delete " + where +
                                           " or create the counter"});
        }
        FileCache<EntryList> once(0, kMaxCounterConfigFile);
        try {
            const CGICONFIG config = config_readcounter(CGICONFIG{}, name, once);
            for (const Entry& entry : util_fdecoder(path)) {
                if (entry.name.empty() || std::find(keys.begin(), keys.end(), entry.name) != keys.end()) continue;
                std::optional<std::string> closest = _health_closest(entry.name, keys);
                found.push_back({"unknown-key", "unknown key " + _health_quoted(entry.name) + " in " + where +
                                                    " is ignored" +
                                                    (closest ? ": did you mean " + *closest + "?"
                                                             : ": a counter's file sets only the counting rules")});
            }
            _health_values(config, false, "every visit of " + name + " that would count", where, found);
        } catch (const ErrorAnswer& e) {
            found.push_back({"config", e.message() + ": every visit of " + name + " that would count answers this "
                                                     "error; make it readable"});
        }
        if (!found.empty()) reports.push_back({path, found});
    }
    return reports;
}

std::vector<Finding> health_check(const Site& site, const std::string& name, const std::optional<WebUser>& user) {
    if (std::vector<Finding> found = site.store->inspectname(name); !found.empty()) return found;
    std::shared_ptr<Counter> counter = counters_counter(site, name);
    bool readable = false;
    std::vector<Finding> found = counter->inspect(user, _health_keepsvisits(_health_config(site, name)), readable);
    if (readable) _health_records(*counter, found);
    return found;
}

Repair health_repair(const Site& site, const std::string& name) {
    std::shared_ptr<Counter> counter = counters_counter(site, name);
    counters_require(*counter);
    return counter->repair();
}

}  // namespace vorn
