// SPDX-License-Identifier: GPL-3.0-or-later
// The site configuration: conf/vc.conf in the working directory, every key
// with its default, read once per request.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/filecache.h"
#include "base/util.h"
#include "base/zone.h"

namespace vorn {

inline constexpr char kConfigFile[] = "conf/vc.conf";

// Each field is its key's value in conf/vc.conf, or the key's default when
// the key is absent (a key present with an empty value stays empty).
struct CGICONFIG {
    std::string cginame;        // CGINAME, informational only
    std::string dbfile_ext;     // DBFILE_EXT
    std::string dir_save;       // DIR_SAVE
    std::string dir_digit;      // DIR_DIGIT
    std::string default_digit;  // DEFAULT_DIGIT
    std::string default_cntlen; // DEFAULT_CNTLEN
    std::string rc_imgyear;     // RC_IMGYEAR
    std::string rc_imgmonth;    // RC_IMGMONTH
    std::string rc_imgday;      // RC_IMGDAY
    // Which visits are counted (counting/rules.h); empty: every visit.
    std::string ignore_addr;     // IGNORE_ADDR
    std::string ignore_bots;     // IGNORE_BOTS
    std::string repeat_minutes;  // REPEAT_MINUTES
    std::string rate_limit;      // RATE_LIMIT
    std::string count_agents;    // COUNT_AGENTS
    // Whose forwarded-for headers name the visitor (counting/address.h).
    std::string trusted_proxies;  // TRUSTED_PROXIES
    // Where the counters are kept (store/store.h); the gdbm files by default.
    std::string store;                // STORE
    std::string redis_addr;           // REDIS_ADDR
    std::string redis_prefix;         // REDIS_PREFIX
    std::string redis_password_file;  // REDIS_PASSWORD_FILE
    // The local time of requests (base/zone.h); empty: the process's own.
    std::string timezone;  // TIMEZONE
    // What the counter tells an operator (metrics/metrics.h): the file of
    // the figures, and who may ask for them; empty: off.
    std::string metrics;       // METRICS
    std::string metrics_addr;  // METRICS_ADDR

    // The file each key that is not at its default was read from:
    // conf/vc.conf, or a counter's own file for the counting keys it sets.
    std::map<std::string, std::string> origin;
};

// The folder of the counters' own files, and the file of counter `name`
// (a name the store has accepted): conf/counters/NAME.conf.
inline constexpr char kCounterConfigDir[] = "conf/counters";
std::string config_counterfile(const std::string& name);

// The keys a counter's own file may set: the counting rules, in the order
// they are applied.
std::vector<std::string> config_countingkeys();

// Where the value of `key` in `config` comes from: the file that set it,
// or empty for its default.
std::string config_origin(const CGICONFIG& config, const std::string& key);

// `site` with the counting keys that `lines` (a counter's file `file`)
// set replaced by their first values there; other keys of `lines` are
// ignored.
CGICONFIG config_forcounter(const CGICONFIG& site, const EntryList& lines, const std::string& file);

// The configuration of the counter `name`: `site`, with what its own file
// sets, read through `cache`. A counter without a file has the site's
// rules; one whose file is there but cannot be read (permissions, a FIFO)
// answers "Configuration file('conf/counters/NAME.conf') cannot be read:
// CAUSE" (throws ErrorAnswer).
CGICONFIG config_readcounter(const CGICONFIG& site, const std::string& name, FileCache<EntryList>& cache);

// Largest counter file read; what lies beyond is not read.
inline constexpr std::size_t kMaxCounterConfigFile = 64 * 1024;

// Answers "Configuration error. TIMEZONE: 'NAME' is not a time zone
// (conf/vc.conf)" (throws ErrorAnswer) when `config` names a zone that the
// zone database does not hold; an empty TIMEZONE is the process's own.
void config_checkzone(const CGICONFIG& config);

// Makes the zone `config` names (its TIMEZONE, or the process's own when it
// names none) the local time through `zone`, which then holds it; a name
// that is no zone, or whose file is gone, is answered with the message of
// config_checkzone (throws ErrorAnswer) and leaves `zone` as it was.
void config_usezone(const CGICONFIG& config, LocalZone& zone);

// Every key the file may hold, in the order of the record.
std::vector<std::string> config_keys();

// The configuration of `lines` (the pairs of the file): each key's first
// value, or its default.
CGICONFIG config_fill(const EntryList& lines);

// The configuration of the text of a conf/vc.conf.
CGICONFIG config_parse(const std::string& text);

// Largest configuration file read; what lies beyond is not read.
inline constexpr std::size_t kMaxConfigFile = 16 * 1024 * 1024;

// Reads conf/vc.conf of the working directory, through `cache`. A file that
// cannot be opened answers "Configuration file('conf/vc.conf') not found."
// (throws ErrorAnswer).
CGICONFIG config_read(FileCache<CGICONFIG>& cache);

// The same for the operator's tool, which works also in a site without the
// file: a missing file gives every default; one that is there but cannot be
// read answers "Configuration file('conf/vc.conf') cannot be read: CAUSE".
CGICONFIG config_readsite();

}  // namespace vorn
