// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/counters.h"

#include <algorithm>
#include <limits>

#include "base/support.h"
#include "base/util.h"
#include "counting/compute.h"

namespace vorn {

namespace {

constexpr long long kMaxCount = 999999999999999999LL;  // 18 digits

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

}  // namespace

Site counters_site() {
    const CGICONFIG config = config_readsite();
    return {config, store_open(config)};
}

Site counters_site(const Site& site, const std::string& kind) {
    CGICONFIG config = site.config;
    config.store = kind;
    return {config, store_open(config)};
}

std::shared_ptr<Counter> counters_counter(const Site& site, const std::string& name) {
    // "/" and ".." (and a name too long for its store) are the store's to
    // refuse; the tool also refuses names a shell or a terminal would garble.
    if (name.empty()) support_errormsg("Invalid counter name (''): a name may not be empty");
    if (util_printable(name) != name) support_errormsg("Invalid counter name: a name may not hold control characters");
    // vorncounter trims the blanks around every request value, so a
    // counter whose name has them could never be asked for.
    if (name.front() == ' ' || name.back() == ' ') {
        support_errormsg("Invalid counter name ('%s'): a name may not begin or end with a blank", name.c_str());
    }
    return site.store->counter(name);
}

void counters_require(Counter& counter) {
    if (!counter.exists()) {
        support_errormsg("no such counter '%s' (%s)", counter.name().c_str(), counter.where().c_str());
    }
}

std::optional<long long> counters_value(const std::string& text) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
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
        } else if (store_ishour(record.key)) {
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

Periods counters_periods(Counter& counter, const Clock& clock) {
    const auto day = [&](long ago) {
        return util_tolong(compute_getdaycount(counter, support_returntime(clock, TimeStyle::kDay, ago)));
    };
    Periods p;
    for (int i = 0; i < 7; ++i) p.last7[static_cast<std::size_t>(i)] = day(6 - i);
    p.today = p.last7[6];
    p.yesterday = p.last7[5];
    p.month = util_tolong(compute_getmonthcount(counter, support_returntime(clock, TimeStyle::kMonth, 0)));
    p.year = util_tolong(compute_getyearcount(counter, support_returntime(clock, TimeStyle::kYear, 0)));
    return p;
}

void counters_create(Counter& counter, std::optional<long long> total, const Clock& clock) {
    if (!counter.create()) {
        support_errormsg("counter '%s' already exists (%s)", counter.name().c_str(), counter.where().c_str());
    }
    if (total && *total != 0) counters_settotal(counter, *total, clock);
}

std::optional<std::string> counters_settotal(Counter& counter, long long total, const Clock& clock) {
    std::optional<std::string> previous;
    counter.change([&](const StoreGet& get) {
        previous = get(kTotalKey);
        std::vector<DbChange> changes = {{kTotalKey, std::to_string(total)}};
        if (total != 0 && !get(kStartDateKey)) {
            changes.push_back({kStartDateKey, support_returntime(clock, TimeStyle::kHour, 0)});
        }
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

}  // namespace vorn
