// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/store.h"

#include <algorithm>
#include <map>

#include "base/support.h"
#include "store/gdbmstore.h"
#include "store/redisstore.h"

namespace vorn {

namespace {

// Thrown out of a change whose counter is no longer as it was read.
struct StaleRead {};
constexpr int kReplaceAttempts = 5;

bool _store_digits(const std::string& text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

// The number of `count` digits at `from` (checked by _store_digits).
int _store_field(const std::string& text, std::size_t from, std::size_t count) {
    int n = 0;
    for (std::size_t i = from; i < from + count; ++i) n = n * 10 + (text[i] - '0');
    return n;
}

}  // namespace

std::string store_subkey(const std::string& period, int n) {
    return period + (n <= 9 ? "/0" : "/") + std::to_string(n);
}

bool store_ishour(const std::string& key) {
    if (key.size() != 13 || key[4] != '/' || key[7] != '/' || key[10] != '/') return false;
    if (!_store_digits(key, 0, 4) || !_store_digits(key, 5, 2) || !_store_digits(key, 8, 2) ||
        !_store_digits(key, 11, 2)) {
        return false;
    }
    const int year = _store_field(key, 0, 4), month = _store_field(key, 5, 2);
    const int day = _store_field(key, 8, 2), hour = _store_field(key, 11, 2);
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || hour > 23 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

std::unique_ptr<CounterStore> store_open(const CGICONFIG& config, StoreKeep* keep) {
    if (config.store.empty() || config.store == "gdbm") return gdbmstore_open(config.dir_save, config.dbfile_ext);
    if (config.store == "redis") return redisstore_open(config, keep);
    support_errormsg("Configuration error. STORE must be gdbm or redis, not '%s' (%s)", config.store.c_str(), kConfigFile);
}

void store_replace(Counter& counter, const std::vector<DbRecord>& records) {
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
        }
    }
    support_errormsg("counter '%s' kept changing; try again", counter.name().c_str());
}

void store_requiretext(const DbRecord& record, const std::string& what) {
    if (record.text && record.key.find('\0') == std::string::npos && record.value.find('\0') == std::string::npos) {
        return;
    }
    support_errormsg("record '%s' of %s is not stored as text, which the %s store cannot hold",
                     util_printable(record.key).c_str(), what.c_str(), record.text ? "gdbm" : "redis");
}

bool store_may(const struct stat& st, const WebUser& user, int want) {
    if (user.uid == 0) return true;
    int bits = st.st_mode & 07;
    if (st.st_uid == user.uid) {
        bits = (st.st_mode >> 6) & 07;
    } else if (std::find(user.groups.begin(), user.groups.end(), st.st_gid) != user.groups.end()) {
        bits = (st.st_mode >> 3) & 07;
    }
    return (bits & want) == want;
}

std::string store_ctl(const std::string& command, const std::string& args) {
    return "vornctl -C " + util_abspath(".") + " " + command + " " + args;
}

}  // namespace vorn
