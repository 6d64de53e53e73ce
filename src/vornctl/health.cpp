// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/health.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>

#include "base/support.h"
#include "base/util.h"
#include "counting/rules.h"

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

// Whether REPEAT_MINUTES keeps visits; not when the rules cannot be read
// (which health_site reports).
bool _health_repeats(const Site& site) {
    try {
        return rules_read(site.config).repeat_minutes > 0;
    } catch (const ErrorAnswer&) {
        return false;
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
    // Each counting rule on its own, so that every bad value is named.
    for (std::string CGICONFIG::*key : {&CGICONFIG::ignore_addr, &CGICONFIG::ignore_bots, &CGICONFIG::repeat_minutes}) {
        CGICONFIG one;
        one.*key = site.config.*key;
        try {
            rules_read(one);
        } catch (const ErrorAnswer& e) {
            found.push_back({"config", e.message() + ": every visit that would count answers this error; mend it in " + conf});
        }
    }
    try {
        config_checkzone(site.config);
    } catch (const ErrorAnswer& e) {
        found.push_back({"config", e.message() + ": every request answers this error; mend it in " + conf});
    }
    for (Finding& f : site.store->inspect(user, _health_repeats(site))) found.push_back(std::move(f));
    return found;
}

std::vector<Finding> health_check(const Site& site, const std::string& name, const std::optional<WebUser>& user) {
    if (std::vector<Finding> found = site.store->inspectname(name); !found.empty()) return found;
    std::shared_ptr<Counter> counter = counters_counter(site, name);
    bool readable = false;
    std::vector<Finding> found = counter->inspect(user, _health_repeats(site), readable);
    if (readable) _health_records(*counter, found);
    return found;
}

Repair health_repair(const Site& site, const std::string& name) {
    std::shared_ptr<Counter> counter = counters_counter(site, name);
    counters_require(*counter);
    return counter->repair();
}

}  // namespace vorn
