// SPDX-License-Identifier: GPL-3.0-or-later
#include "vornctl/commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/support.h"
#include "base/util.h"
#include "metrics/metrics.h"
#include "vornctl/backup.h"
#include "vornctl/copy.h"
#include "vornctl/csv.h"
#include "vornctl/health.h"
#include "vornctl/output.h"

namespace vorn {

namespace {

constexpr std::size_t kMany = std::numeric_limits<std::size_t>::max();
constexpr char kNone[] = "-";  // a missing value in text output

const std::string& _commands_arg(const CommandContext& c, std::size_t i) { return c.args.positional.at(i); }

// The counter named by the first argument, which must exist.
std::shared_ptr<Counter> _commands_counter(const CommandContext& c) {
    std::shared_ptr<Counter> counter = counters_counter(c.site, _commands_arg(c, 0));
    counters_require(*counter);
    return counter;
}

// The present moment in the local time of the counter: the site's
// TIMEZONE, or vornctl's own TZ where the site names none. A TIMEZONE that
// is no zone ends the command with the message every request answers.
Clock _commands_clock(const CommandContext& c) {
    config_usezone(c.site.config, *c.zone);
    return Clock::system();
}

// The clock of a change that sets the total to `total`: one that is not 0
// may give the counter its start date, an hour of the site's day.
Clock _commands_totalclock(const CommandContext& c, long long total) {
    return total != 0 ? _commands_clock(c) : Clock::system();
}

// The total as vorncounter's sums read a count: its leading digits.
long long _commands_total(const std::optional<std::string>& total) { return total ? util_tolong(*total) : 0; }

std::string _commands_or_none(const std::optional<std::string>& text) { return text.value_or(kNone); }

const std::string* _commands_ptr(const std::optional<std::string>& text) { return text ? &*text : nullptr; }

std::optional<std::string> _commands_lasthour(const CounterData& data) {
    if (data.hours.empty()) return std::nullopt;
    return data.hours.rbegin()->first;
}

// `text` in capitals, for a table's heading.
std::string _commands_upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "1 hour", "2 hours": `n` and the noun in its number.
std::string _commands_count(long long n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// A FILE or DIR argument as the command uses it: with -C, a relative one
// is taken from the site's directory, and shown so, with its whole path.
std::string _commands_path(const CommandContext& c, const std::string& arg) {
    if (c.dir.empty() || arg.empty() || arg[0] == '/' || arg == "-") return arg;
    return c.dir + "/" + arg;
}

// On a terminal, asks `question` and answers whether the operator said yes;
// without a terminal, or with --yes, the answer is yes.
bool _commands_confirm(const CommandContext& c, const std::string& question) {
    if (c.args.has("yes") || !isatty(STDIN_FILENO)) return true;
    std::fprintf(stderr, "vornctl: %s [y/N] ", question.c_str());
    std::fflush(stderr);
    char answer[16] = "";
    if (!std::fgets(answer, sizeof answer, stdin)) return false;
    const std::string said = answer;
    return said == "y\n" || said == "Y\n" || said == "yes\n" || said == "YES\n";
}

// "YYYY/MM/DD" of a real day, from option `name`, or `fallback`.
std::string _commands_day(const CommandContext& c, const char* name, const char* fallback) {
    std::optional<std::string> day = c.args.value(name);
    if (!day) return fallback;
    if (!store_ishour(*day + "/00")) cli_usage("--%s needs a day as YYYY/MM/DD, not '%s'", name, day->c_str());
    return *day;
}

int _commands_list(const CommandContext& c) {
    // A counter file's size in bytes; on a server, which keeps no file, the
    // number of records instead (two, and one per hour with visits).
    const char* unit = c.site.store->sizeunit();
    std::vector<std::vector<std::string>> rows = {{"NAME", "TOTAL", "STARTDATE", "LASTHOUR", _commands_upper(unit)}};
    JsonWriter json;
    json.begin_array();
    int status = 0;
    for (const std::string& name : c.site.store->names()) {
        try {
            std::shared_ptr<Counter> counter = counters_counter(c.site, name);
            const CounterData data = counters_read(*counter);
            const long long size = counter->size();
            const std::optional<std::string> last = _commands_lasthour(data);
            rows.push_back({name, std::to_string(_commands_total(data.total)), _commands_or_none(data.startdate),
                            _commands_or_none(last), std::to_string(size)});
            json.begin_object().key("name").string(name).key("total").number(_commands_total(data.total));
            json.key("startdate").string_or_null(_commands_ptr(data.startdate));
            json.key("lasthour").string_or_null(_commands_ptr(last)).key(unit).number(size).end_object();
        } catch (const ErrorAnswer& e) {
            commands_warn(name + ": " + e.message());
            status = 1;
        }
    }
    json.end_array();
    output_write(c.json ? json.text() + "\n" : output_table(rows));
    return status;
}

// A counting rule in force for a counter: its key, value and the file
// that sets it.
struct RuleInForce {
    std::string key, value, file;
};

// The counting rules of counter `name` that are set (the site's, with
// what the counter's own file sets), in the order they apply, and
// TRUSTED_PROXIES.
std::vector<RuleInForce> _commands_rules(const CommandContext& c, const std::string& name) {
    FileCache<EntryList> once(0, kMaxCounterConfigFile);
    const CGICONFIG config = config_readcounter(c.site.config, name, once);
    const std::pair<const char*, const std::string*> keys[] = {
        {"TRUSTED_PROXIES", &config.trusted_proxies}, {"IGNORE_ADDR", &config.ignore_addr},
        {"COUNT_AGENTS", &config.count_agents},       {"IGNORE_BOTS", &config.ignore_bots},
        {"RATE_LIMIT", &config.rate_limit},           {"REPEAT_MINUTES", &config.repeat_minutes}};
    std::vector<RuleInForce> rules;
    for (const auto& [key, value] : keys) {
        if (!value->empty()) rules.push_back({key, *value, config_origin(config, key)});
    }
    return rules;
}

int _commands_show(const CommandContext& c) {
    const std::string& name = _commands_arg(c, 0);
    const std::shared_ptr<Counter> counter = _commands_counter(c);
    const CounterData data = counters_read(*counter);
    const Periods p = counters_periods(*counter, _commands_clock(c));
    const std::optional<std::string> last = _commands_lasthour(data);
    const long long total = _commands_total(data.total);
    const std::vector<RuleInForce> rules = _commands_rules(c, name);
    if (c.json) {
        JsonWriter json;
        json.begin_object().key("name").string(name).key("total").number(total);
        json.key("startdate").string_or_null(_commands_ptr(data.startdate));
        json.key("today").number(p.today).key("yesterday").number(p.yesterday);
        json.key("month").number(p.month).key("year").number(p.year).key("last7").begin_array();
        for (long long day : p.last7) json.number(day);
        json.end_array().key("lasthour").string_or_null(_commands_ptr(last)).key("rules").begin_array();
        for (const RuleInForce& r : rules) {
            json.begin_object().key("key").string(r.key).key("value").string(r.value).key("from").string(r.file);
            json.end_object();
        }
        json.end_array().end_object();
        output_write(json.text() + "\n");
        return 0;
    }
    std::string last7;
    for (long long day : p.last7) {
        if (!last7.empty()) last7 += ' ';
        last7 += std::to_string(day);
    }
    std::vector<std::vector<std::string>> rows = {{"name", name},
                                                             {"total", std::to_string(total)},
                                                             {"startdate", _commands_or_none(data.startdate)},
                                                             {"today", std::to_string(p.today)},
                                                             {"yesterday", std::to_string(p.yesterday)},
                                                             {"month", std::to_string(p.month)},
                                                             {"year", std::to_string(p.year)},
                                                             {"last7", last7},
                                                             {"lasthour", _commands_or_none(last)}};
    for (const RuleInForce& r : rules) rows.push_back({"rule", r.key + " = " + r.value + " (" + r.file + ")"});
    if (rules.empty()) rows.push_back({"rule", "none: every visit counts"});
    output_write(output_table(rows));
    return 0;
}

int _commands_create(const CommandContext& c) {
    const std::string& name = _commands_arg(c, 0);
    const std::shared_ptr<Counter> counter = counters_counter(c.site, name);
    const std::string path = counter->where();
    std::optional<long long> total;
    if (std::optional<std::string> n = c.args.value("total")) total = cli_count(*n, "--total");
    counters_create(*counter, total, _commands_totalclock(c, total.value_or(0)));
    if (c.json) {
        output_write(JsonWriter().begin_object().key("name").string(name).key("path").string(path)
                         .key("total").number(total.value_or(0)).end_object().text() + "\n");
    } else {
        output_write("created " + name + " (" + path + ")" + (total ? ", total " + std::to_string(*total) : "") + "\n");
    }
    return 0;
}

int _commands_delete(const CommandContext& c) {
    const std::string& name = _commands_arg(c, 0);
    const std::shared_ptr<Counter> counter = _commands_counter(c);
    const std::string path = counter->where();
    if (!_commands_confirm(c, "delete the counter " + name + " (" + path + ") with all its records?")) {
        support_errormsg("counter '%s' not deleted", name.c_str());
    }
    counter->remove();
    if (c.json) {
        output_write(JsonWriter().begin_object().key("name").string(name).key("path").string(path)
                         .key("deleted").boolean(true).end_object().text() + "\n");
    } else {
        output_write("deleted " + name + " (" + path + ")\n");
    }
    return 0;
}

int _commands_settotal(const CommandContext& c) {
    const std::string& name = _commands_arg(c, 0);
    const long long total = cli_count(_commands_arg(c, 1), "the total");
    const std::optional<std::string> previous =
        counters_settotal(*_commands_counter(c), total, _commands_totalclock(c, total));
    if (c.json) {
        JsonWriter json;
        json.begin_object().key("name").string(name).key("total").number(total).key("previous");
        previous ? json.number(_commands_total(previous)) : json.null();
        output_write(json.end_object().text() + "\n");
    } else {
        output_write(name + ": total " + std::to_string(total) + " (was " +
                     (previous ? std::to_string(_commands_total(previous)) : "none") + ")\n");
    }
    return 0;
}

int _commands_export(const CommandContext& c) {
    const std::string& name = _commands_arg(c, 0);
    const std::string from = _commands_day(c, "from", "0000/00/00");
    const std::string to = _commands_day(c, "to", "9999/99/99");
    if (from > to) cli_usage("--from %s lies after --to %s", from.c_str(), to.c_str());
    const CounterData data = counters_read(*_commands_counter(c));
    std::map<std::string, long long> hours;
    for (const auto& [hour, value] : data.hours) {
        const std::string day = hour.substr(0, 10);
        if (day < from || day > to) continue;
        std::optional<long long> count = counters_value(value);
        if (!count) {
            support_errormsg("record '%s' holds '%s', which is no count (see vornctl check)", hour.c_str(), value.c_str());
        }
        hours[hour] = *count;
    }
    if (!c.json) {
        output_write(csv_write(hours));
        return 0;
    }
    JsonWriter json;
    json.begin_object().key("name").string(name).key("total").number(_commands_total(data.total));
    json.key("startdate").string_or_null(_commands_ptr(data.startdate)).key("hours").begin_object();
    for (const auto& [hour, count] : hours) json.key(hour).number(count);
    output_write(json.end_object().end_object().text() + "\n");
    return 0;
}

int _commands_import(const CommandContext& c) {
    const std::string& name = _commands_arg(c, 0);
    const std::shared_ptr<Counter> counter = _commands_counter(c);
    const std::string file = _commands_path(c, _commands_arg(c, 1));
    CsvHours read;
    if (file == "-") {
        read = csv_read(stdin, "standard input");
    } else {
        FilePtr in = util_fopen(file, "r");
        if (!in) support_errormsg("cannot read %s: %s", file.c_str(), std::strerror(errno));
        read = csv_read(in.get(), file);
    }
    const long long total = counters_addhours(*counter, read.hours);
    // An hour of no visits adds nothing and is not counted as imported.
    const long long hours = std::count_if(read.hours.begin(), read.hours.end(), [](const auto& h) { return h.second > 0; });
    if (c.json) {
        output_write(JsonWriter().begin_object().key("name").string(name).key("hours").number(hours)
                         .key("visits").number(read.visits).key("total").number(total).end_object().text() + "\n");
    } else {
        output_write(name + ": imported " + _commands_count(hours, "hour") + ", " + _commands_count(read.visits, "visit") +
                     "; total " + std::to_string(total) + "\n");
    }
    return 0;
}

int _commands_check(const CommandContext& c) {
    const std::vector<std::string> names = c.args.positional.empty() ? c.site.store->names() : c.args.positional;
    const std::optional<WebUser> user = health_user(c.args.value("user"));
    if (!user) commands_warn("no user www-data: the web server's permissions are not checked (name it with --user USER)");
    JsonWriter json;
    json.begin_array();
    std::string text;
    int status = 0;
    // The site's own findings come first, under the name of its
    // configuration file, which no counter can have.
    std::vector<std::pair<std::string, std::vector<Finding>>> reports;
    if (std::vector<Finding> site = health_site(c.site, user); !site.empty()) reports.push_back({kConfigFile, site});
    if (c.args.positional.empty()) {
        for (auto& report : health_counterfiles(c.site)) reports.push_back(std::move(report));
    }
    for (const std::string& name : names) {
        std::vector<Finding> found;
        try {
            found = health_check(c.site, name, user);
        } catch (const ErrorAnswer& e) {
            found.push_back({"name", e.message()});
        }
        reports.push_back({name, found});
    }
    for (const auto& [name, found] : reports) {
        if (!found.empty()) status = 1;
        json.begin_object().key("name").string(name).key("ok").boolean(found.empty()).key("findings").begin_array();
        for (const Finding& f : found) {
            json.begin_object().key("kind").string(f.kind).key("message").string(f.message).end_object();
            text += name + ": " + f.message + "\n";
        }
        json.end_array().end_object();
        if (found.empty()) text += name + ": ok\n";
    }
    json.end_array();
    output_write(c.json ? json.text() + "\n" : text);
    return status;
}

int _commands_repair(const CommandContext& c) {
    const std::string& name = _commands_arg(c, 0);
    const Repair r = health_repair(c.site, name);
    if (c.json) {
        JsonWriter json;
        json.begin_object().key("name").string(name).key("repaired").boolean(r.recovery.has_value());
        json.key("problem").string_or_null(_commands_ptr(r.problem));
        const DbRecovery k = r.recovery.value_or(DbRecovery{});
        json.key("kept_records").number(static_cast<long long>(k.kept_records));
        json.key("kept_buckets").number(static_cast<long long>(k.kept_buckets));
        json.key("lost_records").number(static_cast<long long>(k.lost_records));
        json.key("lost_buckets").number(static_cast<long long>(k.lost_buckets));
        json.key("duplicates").number(static_cast<long long>(k.duplicates));
        json.key("original").string_or_null(r.recovery ? &r.recovery->original : nullptr);
        json.key("undid_change").boolean(r.undid_change).key("removed").string_or_null(_commands_ptr(r.removed));
        json.end_object();
        output_write(json.text() + "\n");
        return 0;
    }
    std::string text;
    if (r.recovery) {
        const DbRecovery& k = *r.recovery;
        text += name + ": gdbm found: " + *r.problem + "\n";
        text += name + ": rebuilt: kept " + std::to_string(k.kept_records) + " records in " +
                std::to_string(k.kept_buckets) + " buckets, lost " + std::to_string(k.lost_records) + " records and " +
                std::to_string(k.lost_buckets) + " buckets, " + std::to_string(k.duplicates) + " duplicate keys\n";
        text += name + ": the original is kept as " + k.original + "\n";
    }
    if (r.removed) text += name + ": removed " + *r.removed + ", which was no journal\n";
    if (r.undid_change) text += name + ": undid an interrupted change (" + r.journal.value_or("") + ")\n";
    if (!r.journal) {
        text = name + ": nothing to repair: the " + c.site.store->kind() +
               " server applies each visit and change whole and keeps no counter file (vornctl check " + name +
               " looks at the records)\n";
    }
    if (text.empty()) text = name + ": sound; nothing to repair\n";
    output_write(text);
    return 0;
}

// Runs `action` for each of `names` and reports each result as
// "NAME ARROW FILE"; a counter that fails is reported on standard error and
// the others go on.
int _commands_each(const CommandContext& c, const std::vector<std::string>& names, const char* arrow,
                   std::string (*action)(const Site&, const std::string&, const std::string&)) {
    const std::string dir = _commands_path(c, _commands_arg(c, 0));
    JsonWriter json;
    json.begin_array();
    std::string text;
    int status = 0;
    for (const std::string& name : names) {
        try {
            const std::string counter = counters_counter(c.site, name)->where();
            action(c.site, dir, name);
            json.begin_object().key("name").string(name).key("counter").string(counter);
            json.key("dump").string(backup_file(dir, name)).end_object();
            text += name + " " + arrow + " " + backup_file(dir, name) + "\n";
        } catch (const ErrorAnswer& e) {
            commands_warn(name + ": " + e.message());
            status = 1;
        }
    }
    json.end_array();
    output_write(c.json ? json.text() + "\n" : text);
    return status;
}

int _commands_backup(const CommandContext& c) { return _commands_each(c, c.site.store->names(), "->", backup_write); }

int _commands_restore(const CommandContext& c) {
    const std::string dir = _commands_path(c, _commands_arg(c, 0));
    std::vector<std::string> names(c.args.positional.begin() + 1, c.args.positional.end());
    if (names.empty()) names = backup_names(c.site, dir);
    const std::string what = names.size() == 1 ? "1 counter with its dump"
                                                : std::to_string(names.size()) + " counters with their dumps";
    if (!names.empty() && !_commands_confirm(c, "replace " + what + " in " + dir + "?")) {
        support_errormsg("nothing restored");
    }
    return _commands_each(c, names, "<-", backup_restore);
}

int _commands_copy(const CommandContext& c) {
    const std::string& name = _commands_arg(c, 0);
    const std::optional<std::string> to = c.args.value("to");
    if (!to) cli_usage("copy: missing --to redis or --to gdbm");
    if (*to != "redis" && *to != "gdbm") cli_usage("--to must be redis or gdbm, not '%s'", to->c_str());
    const CopyResult r = copy_counter(c.site, name, *to, c.args.has("replace"));
    const long long total = _commands_total(r.total);
    if (c.json) {
        output_write(JsonWriter().begin_object().key("name").string(name).key("from").string(r.from)
                         .key("to").string(r.to).key("records").number(static_cast<long long>(r.records))
                         .key("total").number(total).key("hours").number(r.hours).key("replaced").boolean(r.replaced)
                         .end_object().text() + "\n");
    } else {
        output_write("copied " + name + ": " + r.from + " -> " + r.to + " (" + std::to_string(r.records) +
                     " records, total " + std::to_string(total) + ", hours " + std::to_string(r.hours) +
                     (r.replaced ? "; replaced what was there" : "") + ")\n");
    }
    return 0;
}

// The options of the commands, besides --json and --help.
constexpr CliOption kYes[] = {{"yes", 'y', false}};
constexpr CliOption kTotal[] = {{"total", '\0', true}};
constexpr CliOption kDays[] = {{"from", '\0', true}, {"to", '\0', true}};
constexpr CliOption kUser[] = {{"user", '\0', true}};
constexpr CliOption kCopy[] = {{"to", '\0', true}, {"replace", '\0', false}};
constexpr std::span<const CliOption> kNoOptions{};

constexpr char kListDetails[] =
    "On redis the last column is RECORDS (JSON: records), the number of the\n"
    "counter's records, as a server keeps no file whose size could be shown.\n";
constexpr char kCheckDetails[] =
    "On redis: whether the server answers and the name is in its set of counters,\n"
    "and the records; there are no files or permissions to check (--user has no\n"
    "effect there).\n";
constexpr char kRepairDetails[] =
    "On redis there is nothing to repair: the server applies each visit and\n"
    "change whole and keeps no counter file. repair says so and exits 0, as the\n"
    "counter is usable; a counter that does not exist exits 1.\n";
constexpr char kBackupDetails[] =
    "On either store the dumps are gdbm's portable dumps of the counter's\n"
    "records, so a backup taken on one store restores into the other.\n";
constexpr char kCopyDetails[] =
    "Copies every record of the counter from the site's other store (gdbm: the\n"
    "files of DIR_SAVE and DBFILE_EXT; redis: REDIS_ADDR, REDIS_PREFIX and\n"
    "REDIS_PASSWORD_FILE, all of conf/vc.conf, whatever STORE names) into the\n"
    "one named, as one change, reading the source at one moment. Then checks the\n"
    "copy: its totcnt, the sum of its hours and its number of records must be\n"
    "those read from the source, else it exits 1. A counter that exists in the\n"
    "target already is refused, unless --replace overwrites it.\n"
    "It does not delete the source or change STORE: switch STORE in conf/vc.conf\n"
    "afterwards. Visits counted on the source after the copy read it are not in\n"
    "the copy, and remembered visits (REPEAT_MINUTES) are not copied.\n";

constexpr char kMigrateDetails[] =
    "On redis: moves each counter still kept as the store kept counters before\n"
    "(the hash PREFIX counter:NAME and the set PREFIX counters) into the present\n"
    "layout (PREFIX{NAME}, a hash per day, the set of its days), each in one\n"
    "transaction that no visit comes between; visits count on during the move,\n"
    "wherever each counter is. Run it once every web server runs this version;\n"
    "until then, one of the version before finds no counter that was moved. A\n"
    "Redis Cluster needs the present layout. On gdbm there is nothing to move.\n";

int _commands_migrate(const CommandContext& c) {
    const std::vector<std::string> moved = c.site.store->migrate();
    if (c.json) {
        JsonWriter json;
        json.begin_object().key("moved").begin_array();
        for (const std::string& name : moved) json.string(name);
        json.end_array().end_object();
        output_write(json.text() + "\n");
        return 0;
    }
    std::string text;
    for (const std::string& name : moved) text += "moved " + name + "\n";
    output_write(moved.empty() ? "nothing to move\n" : text);
    return 0;
}

constexpr char kMetricsDetails[] =
    "Prints the figures that the web server's requests added to the file METRICS\n"
    "of conf/vc.conf names, summed over every worker and CGI run of the site, in\n"
    "Prometheus' text format (version 0.0.4): for node_exporter's textfile\n"
    "collector, or a look by hand. Before the first request has made the file\n"
    "every figure is 0. A file that is not a sound metrics file is named and\n"
    "exits 1 (vornctl check says more).\n";

int _commands_metrics(const CommandContext& c) {
    const std::string& path = c.site.config.metrics;
    if (path.empty()) support_errormsg("METRICS is not set in %s: no figures are kept", util_abspath(kConfigFile).c_str());
    const MetricsOpened read = metricsfile_read(path, metrics_layout());
    if (read.state != MetricsState::kOpen && read.state != MetricsState::kMissing) {
        support_errormsg("METRICS file (%s) is %s%s%s", util_abspath(path).c_str(), metricsfile_describe(read.state),
                         read.error ? ": " : "", read.error ? std::strerror(read.error) : "");
    }
    if (!c.json) {
        output_write(metrics_text(read.file));
        return 0;
    }
    JsonWriter json;
    json.begin_object().key("metrics").begin_array();
    for (const MetricsSample& sample : metrics_samples(read.file)) {
        json.begin_object().key("name").string(sample.name).key("labels").begin_object();
        for (const auto& [name, value] : sample.labels) json.key(name).string(value);
        json.end_object().key("value").digits(sample.value).end_object();
    }
    json.end_array().end_object();
    output_write(json.text() + "\n");
    return 0;
}

constexpr Command kCommands[] = {
    {"list", "", "every counter with its total, start, last recorded hour and file size", kNoOptions, 0, 0, _commands_list,
     kListDetails},
    {"show", "NAME", "the total, today, yesterday, this month and year, the last 7 days, the counting rules",
     kNoOptions, 1, 1, _commands_show, ""},
    {"create", "NAME [--total N]", "a new counter, starting at the total N", kTotal, 1, 1, _commands_create, ""},
    {"delete", "NAME [--yes]", "removes a counter (asks first on a terminal)", kYes, 1, 1, _commands_delete, ""},
    {"set-total", "NAME N", "sets the total to N; the hour records stay", kNoOptions, 2, 2, _commands_settotal, ""},
    {"export", "NAME [--from YYYY/MM/DD] [--to YYYY/MM/DD]", "the hour records as CSV (hour,count)", kDays, 1, 1,
     _commands_export, ""},
    {"import", "NAME FILE", "adds the hours of a CSV file in export's form (- reads standard input)", kNoOptions, 2, 2,
     _commands_import, ""},
    {"check", "[NAME...] [--user USER]", "looks for damage, stray records and permissions of the web server user",
     kUser, 0, kMany, _commands_check, kCheckDetails},
    {"repair", "NAME", "recovers a damaged counter file with gdbm, keeping the original", kNoOptions, 1, 1,
     _commands_repair, kRepairDetails},
    {"backup", "DIR", "writes every counter into DIR as a gdbm dump (NAME.dump)", kNoOptions, 1, 1, _commands_backup,
     kBackupDetails},
    {"restore", "DIR [NAME...] [--yes]", "puts counters back from their dumps in DIR (asks first on a terminal)",
     kYes, 1, kMany, _commands_restore, kBackupDetails},
    {"copy", "NAME --to redis|gdbm [--replace]", "copies a counter's whole history from the site's other store",
     kCopy, 1, 1, _commands_copy, kCopyDetails},
    {"migrate", "", "moves counters of the store's earlier layout into the present one", kNoOptions, 0, 0,
     _commands_migrate, kMigrateDetails},
    {"metrics", "", "the figures of METRICS in Prometheus' text format", kNoOptions, 0, 0, _commands_metrics,
     kMetricsDetails},
};

}  // namespace

const Command* commands_find(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

std::string commands_help() {
    std::vector<std::vector<std::string>> rows;
    for (const Command& command : kCommands) {
        rows.push_back({"  " + std::string(command.name) + (*command.synopsis ? " " : "") + command.synopsis,
                        command.summary});
    }
    return "Usage: vornctl [-C DIR] COMMAND [ARGS] [--json]\n"
           "\n"
           "Reads and changes the counters of a VornCounter site in the store that\n"
           "conf/vc.conf in the site's directory names (STORE), as the web server does:\n"
           "the gdbm files of DIR_SAVE and DBFILE_EXT under the same locks, or the\n"
           "Redis server of REDIS_ADDR.\n"
           "\n"
           "Commands:\n" +
           output_table(rows) +
           "\n"
           "Options:\n"
           "  -C DIR       the site's directory (default: the current one); relative\n"
           "               FILE and DIR arguments are taken from it, as with git -C\n"
           "  --json       results as JSON\n"
           "  -h, --help   this help (COMMAND --help: the command's)\n"
           "  --version    the version\n"
           "\n"
           "Exit status: 0 on success, 1 when the action failed, 2 on a usage error.\n";
}

void commands_warn(const std::string& message) { std::fprintf(stderr, "vornctl: %s\n", message.c_str()); }

}  // namespace vorn
