// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

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
    // The store of the counters: the gdbm files unless STORE says redis.
    {"STORE", "gdbm", &CGICONFIG::store},
    {"REDIS_ADDR", "127.0.0.1:6379", &CGICONFIG::redis_addr},
    {"REDIS_PREFIX", "vorncounter:", &CGICONFIG::redis_prefix},
    {"REDIS_PASSWORD_FILE", "", &CGICONFIG::redis_password_file},
    // The zone of hour keys, days, dates and times; empty: the process's.
    {"TIMEZONE", "", &CGICONFIG::timezone},
};

// The answer to a TIMEZONE that names no zone.
[[noreturn]] void _config_nozone(const CGICONFIG& config) {
    support_errormsg("Configuration error. TIMEZONE: '%s' is not a time zone (%s)", config.timezone.c_str(),
                     kConfigFile);
}

}  // namespace

std::vector<std::string> config_keys() {
    std::vector<std::string> keys;
    for (const ConfigKey& k : kConfigKeys) keys.push_back(k.key);
    return keys;
}

CGICONFIG config_fill(const EntryList& lines) {
    CGICONFIG config;
    for (const ConfigKey& k : kConfigKeys) config.*k.field = util_getvalue(lines, k.key).value_or(k.fallback);
    return config;
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
