// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/copy.h"

#include <vector>

#include "base/support.h"

namespace vorn {

namespace {

struct Totals {
    std::optional<std::string> total;
    long long hours = 0;
    std::size_t records = 0;

    bool operator==(const Totals&) const = default;
};

Totals _copy_totals(const CounterData& data) { return {data.total, counters_hoursum(data), data.records}; }

std::string _copy_describe(const Totals& t) {
    return "totcnt " + (t.total ? "'" + *t.total + "'" : std::string("none")) + ", hours " + std::to_string(t.hours) +
           ", " + std::to_string(t.records) + " records";
}

}  // namespace

CopyResult copy_counter(const Site& site, const std::string& name, const std::string& to, bool replace) {
    const Site target_site = counters_site(site, to);
    const Site source_site = counters_site(site, to == "redis" ? "gdbm" : "redis");
    std::shared_ptr<Counter> source = counters_counter(source_site, name);
    std::shared_ptr<Counter> target = counters_counter(target_site, name);
    counters_require(*source);
    const bool exists = target->exists();
    if (exists && !replace) {
        support_errormsg("counter '%s' already exists (%s); copy --replace overwrites it", name.c_str(),
                         target->where().c_str());
    }

    const std::vector<DbRecord> records = source->records();
    for (const DbRecord& record : records) store_requiretext(record, source->where());
    if (!exists) counters_create(*target, std::nullopt, Clock::system());
    store_replace(*target, records);

    // The totals of what was read, not of the source now: visits that go on
    // there after the read are not in the copy.
    const Totals want = _copy_totals(counters_data(records));
    const Totals got = _copy_totals(counters_read(*target));
    if (got != want) {
        support_errormsg("the copy of '%s' does not match its source: %s has %s, %s has %s", name.c_str(),
                         target->where().c_str(), _copy_describe(got).c_str(), source->where().c_str(),
                         _copy_describe(want).c_str());
    }
    return {source->where(), target->where(), want.total, want.hours, want.records, exists};
}

}  // namespace vorn
