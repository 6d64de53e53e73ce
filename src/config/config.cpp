// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>

#include "base/support.h"
#include "base/zone.h"

namespace vorn {

namespace {

// Each configuration key with its default, in the order of the record.
struct ConfigKey {
    const char* key;
    const char* fallback;
    std::string CGICONFIG::*field;
};
constexpr ConfigKey kConfigKeys[] = {
    {"CGINAME", "VornCounter.cgi", &CGICONFIG::cginame},
    {"DBFILE_EXT", "db", &CGICONFIG::dbfile_ext},
    {"DIR_SAVE", "./save", &CGICONFIG::dir_save},
    {"DIR_DIGIT", "./image/digits", &CGICONFIG::dir_digit},
    {"DEFAULT_DIGIT", "d", &CGICONFIG::default_digit},
    {"DEFAULT_CNTLEN", "6", &CGICONFIG::default_cntlen},
    {"RC_IMGYEAR", "./image/resource/imgyear.rc", &CGICONFIG::rc_imgyear},
    {"RC_IMGMONTH", "./image/resource/imgmonth.rc", &CGICONFIG::rc_imgmonth},
    {"RC_IMGDAY", "./image/resource/imgday.rc", &CGICONFIG::rc_imgday},
    // The counting rules, each off by default.
    {"IGNORE_ADDR", "", &CGICONFIG::ignore_addr},
    {"IGNORE_BOTS", "", &CGICONFIG::ignore_bots},
    {"REPEAT_MINUTES", "", &CGICONFIG::repeat_minutes},
    {"RATE_LIMIT", "", &CGICONFIG::rate_limit},
    {"COUNT_AGENTS", "", &CGICONFIG::count_agents},
    {"TRUSTED_PROXIES", "", &CGICONFIG::trusted_proxies},
    // The store of the counters: the gdbm files unless STORE says redis.
    {"STORE", "gdbm", &CGICONFIG::store},
    {"REDIS_ADDR", "127.0.0.1:6379", &CGICONFIG::redis_addr},
    {"REDIS_PREFIX", "vorncounter:", &CGICONFIG::redis_prefix},
    {"REDIS_PASSWORD_FILE", "", &CGICONFIG::redis_password_file},
    // The zone of hour keys, days, dates and times; empty: the process's.
    {"TIMEZONE", "", &CGICONFIG::timezone},
    // The metrics file and the addresses that may read it; both off.
    {"METRICS", "", &CGICONFIG::metrics},
    {"METRICS_ADDR", "", &CGICONFIG::metrics_addr},
};

// The answer to a TIMEZONE that names no zone.
[[noreturn]] void _config_nozone(const CGICONFIG& config) {
    support_errormsg("Configuration error. TIMEZONE: '%s' is not a time zone (%s)", config.timezone.c_str(),
                     kConfigFile);
}

// The keys a counter's own file may set, in the order the rules apply.
constexpr const char* kCountingKeys[] = {"IGNORE_ADDR", "COUNT_AGENTS", "IGNORE_BOTS", "RATE_LIMIT", "REPEAT_MINUTES"};

bool _config_counting(const char* key) {
    for (const char* k : kCountingKeys) {
        if (std::strcmp(k, key) == 0) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> config_keys() {
    std::vector<std::string> keys;
    for (const ConfigKey& k : kConfigKeys) keys.push_back(k.key);
    return keys;
}

CGICONFIG config_fill(const EntryList& lines) {
    CGICONFIG config;
    for (const ConfigKey& k : kConfigKeys) {
        const std::optional<std::string> value = util_getvalue(lines, k.key);
        config.*k.field = value.value_or(k.fallback);
        if (value) config.origin[k.key] = kConfigFile;
    }
    return config;
}

std::string config_counterfile(const std::string& name) {
    std::string path = kCounterConfigDir;
    path += '/';
    path += name;
    path += ".conf";
    return path;
}

std::vector<std::string> config_countingkeys() { return {std::begin(kCountingKeys), std::end(kCountingKeys)}; }

std::string config_origin(const CGICONFIG& config, const std::string& key) {
    const auto it = config.origin.find(key);
    return it == config.origin.end() ? std::string() : it->second;
}

CGICONFIG config_forcounter(const CGICONFIG& site, const EntryList& lines, const std::string& file) {
    CGICONFIG config = site;
    for (const ConfigKey& k : kConfigKeys) {
        if (!_config_counting(k.key)) continue;
        if (const std::optional<std::string> value = util_getvalue(lines, k.key)) {
            config.*k.field = *value;
            config.origin[k.key] = file;
        }
    }
    return config;
}

CGICONFIG config_readcounter(const CGICONFIG& site, const std::string& name, FileCache<EntryList>& cache) {
    const std::string file = config_counterfile(name);
    int read_error = 0;
    const auto found = cache.get(file, [&read_error](const FileRead& read, std::size_t& cost) {
        read_error = read.error == EFBIG ? 0 : read.error;
        if (read_error != 0) return std::shared_ptr<const EntryList>();
        cost = read.bytes.size() * 2;
        return std::make_shared<const EntryList>(util_decodelines(read.bytes));
    });
    if (found.error == ENOENT || found.error == ENOTDIR) return site;
    const int error = found.error != 0 ? found.error : read_error;
    if (error != 0) {
        support_errormsg("Configuration file('%s') cannot be read: %s", file.c_str(), std::strerror(error));
    }
    return config_forcounter(site, *found.value, file);
}

CGICONFIG config_parse(const std::string& text) { return config_fill(util_decodelines(text)); }

CGICONFIG config_read(FileCache<CGICONFIG>& cache) {
    const auto found = cache.get(kConfigFile, [](const FileRead& read, std::size_t& cost) {
        // What cannot be read of an opened file (a directory) is nothing,
        // and a file beyond kMaxConfigFile is read that far.
        cost = read.bytes.size();
        return std::make_shared<const CGICONFIG>(config_parse(read.bytes));
    });
    if (!found.value) support_errormsg("Configuration file('%s') not found.", kConfigFile);
    return *found.value;
}

CGICONFIG config_readsite() {
    struct stat st {};
    if (::stat(kConfigFile, &st) == 0 && !util_filecheck(kConfigFile)) {
        support_errormsg("Configuration file('%s') cannot be read: %s", kConfigFile, std::strerror(errno));
    }
    return config_fill(util_fdecoder(kConfigFile));
}

void config_checkzone(const CGICONFIG& config) {
    if (!config.timezone.empty() && !zone_exists(config.timezone)) _config_nozone(config);
}

void config_usezone(const CGICONFIG& config, LocalZone& zone) {
    if (!zone.use(config.timezone)) _config_nozone(config);
}

}  // namespace vorn
