// SPDX-License-Identifier: GPL-3.0-or-later
#include "counting/rules.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/support.h"
#include "base/util.h"

namespace vorn {

namespace {

constexpr char kMethodHead[] = "HEAD";
constexpr char kBotsYes[] = "yes";
constexpr char kBotsNo[] = "no";
constexpr long kSecondsPerMinute = 60;
constexpr char kPrefetch[] = "prefetch";

// Entries of IGNORE_ADDR are separated by blanks.
constexpr char kBlanks[] = " \t";

std::string _rules_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool _rules_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The file `key` of `config` was read from, for a message that names it.
std::string _rules_file(const CGICONFIG& config, const char* key) {
    const std::string file = config_origin(config, key);
    return file.empty() ? kConfigFile : file;
}

// The blank-separated words of `value`.
std::vector<std::string> _rules_words(const std::string& value) {
    std::vector<std::string> words;
    std::size_t pos = value.find_first_not_of(kBlanks);
    while (pos != std::string::npos) {
        const std::size_t end = value.find_first_of(kBlanks, pos);
        words.push_back(value.substr(pos, end - pos));
        pos = value.find_first_not_of(kBlanks, end);
    }
    return words;
}

// The prefixes of the key `key` of `config`.
std::vector<AddressPrefix> _rules_readaddrs(const CGICONFIG& config, const char* key, const std::string& value) {
    std::vector<AddressPrefix> prefixes;
    for (const std::string& entry : _rules_words(value)) {
        std::optional<AddressPrefix> prefix = address_parseprefix(entry);
        if (!prefix) {
            support_errormsg("Configuration error. %s: '%s' is not an address or prefix (%s)", key, entry.c_str(),
                             _rules_file(config, key).c_str());
        }
        prefixes.push_back(*prefix);
    }
    return prefixes;
}

[[noreturn]] void _rules_botserror(const char* cause) {
    support_errormsg("Configuration error. IGNORE_BOTS is yes but %s cannot be read (%s)", kBotsFile, cause);
}

// The patterns of kBotsFile, through `cache` when one is given.
std::vector<std::string> _rules_readbots(FileCache<std::vector<std::string>>* cache) {
    FileCache<std::vector<std::string>> once(0, kMaxBotsFile);
    int read_error = 0;
    const auto found = (cache ? *cache : once).get(kBotsFile, [&](const FileRead& read, std::size_t& cost) {
        read_error = read.error;
        if (read.error != 0) return std::shared_ptr<const std::vector<std::string>>();
        cost = read.bytes.size() * 2;
        return std::make_shared<const std::vector<std::string>>(rules_parsebots(read.bytes));
    });
    if (found.error != 0) _rules_botserror(std::strerror(found.error));
    if (read_error == EFBIG) _rules_botserror("larger than 1 MiB");
    if (read_error != 0) _rules_botserror(std::strerror(read_error));
    return *found.value;
}

long _rules_readminutes(const CGICONFIG& config) {
    const std::string& value = config.repeat_minutes;
    if (value.empty()) return 0;
    // Digits only: a sign, a unit or a fraction is refused, not cut off.
    const long minutes = _rules_digits(value) && value.size() <= 4 ? util_tolong(value) : -1;
    if (minutes < 0 || minutes > kMaxRepeatMinutes) {
        support_errormsg("Configuration error. REPEAT_MINUTES must be a number from 0 to %ld, not '%s' (%s)",
                         kMaxRepeatMinutes, value.c_str(), _rules_file(config, "REPEAT_MINUTES").c_str());
    }
    return minutes;
}

// RATE_LIMIT: "VISITS/SECONDS", digits only, or empty (off).
void _rules_readrate(const CGICONFIG& config, RULES& rules) {
    const std::string& value = config.rate_limit;
    if (value.empty()) return;
    const std::size_t slash = value.find('/');
    const std::string visits = value.substr(0, slash);
    const std::string seconds = slash == std::string::npos ? "" : value.substr(slash + 1);
    const long n = _rules_digits(visits) && visits.size() <= 4 ? util_tolong(visits) : 0;
    const long s = _rules_digits(seconds) && seconds.size() <= 5 ? util_tolong(seconds) : 0;
    if (n < 1 || n > kMaxRateVisits || s < 1 || s > kMaxRateSeconds) {
        support_errormsg("Configuration error. RATE_LIMIT must be VISITS/SECONDS, 1 to %ld visits in 1 to %ld "
                         "seconds, not '%s' (%s)",
                         kMaxRateVisits, kMaxRateSeconds, value.c_str(), _rules_file(config, "RATE_LIMIT").c_str());
    }
    rules.rate_visits = n;
    rules.rate_seconds = s;
}

// What identifies a visitor to the visits store: the canonical address and
// the User-Agent. A zero byte cannot occur in either, so no two visitors
// give the same text.
std::string _rules_identity(const VISITOR& visitor) {
    return address_canonical(visitor.addr) + '\0' + visitor.agent.value_or("");
}

// True when `agent` holds one of `patterns` (lower case), letters
// compared without case.
bool _rules_holds(const std::vector<std::string>& patterns, const std::string& agent) {
    const std::string lower = _rules_lower(agent);
    for (const std::string& pattern : patterns) {
        if (lower.find(pattern) != std::string::npos) return true;
    }
    return false;
}

// True when `agent` is absent, empty or holds one of `bots`.
bool _rules_isbot(const std::vector<std::string>& bots, const std::optional<std::string>& agent) {
    return !agent || agent->empty() || _rules_holds(bots, *agent);
}

// True when `value`, a request header, holds the word "prefetch" (any
// case): Sec-Purpose sends "prefetch" or "prefetch;prerender", Purpose and
// X-Moz "prefetch".
bool _rules_saysprefetch(const char* value) {
    if (!value) return false;
    const std::string lower = _rules_lower(value);
    for (std::size_t at = lower.find(kPrefetch); at != std::string::npos; at = lower.find(kPrefetch, at + 1)) {
        const bool starts = at == 0 || !std::isalnum(static_cast<unsigned char>(lower[at - 1]));
        const std::size_t end = at + sizeof kPrefetch - 1;
        const bool ends = end == lower.size() || !std::isalnum(static_cast<unsigned char>(lower[end]));
        if (starts && ends) return true;
    }
    return false;
}

}  // namespace

const char* rules_reason(Uncounted why) {
    switch (why) {
        case Uncounted::kHead: return "head";
        case Uncounted::kPrefetch: return "prefetch";
        case Uncounted::kAddress: return "address";
        case Uncounted::kAgent: return "agent";
        case Uncounted::kRobot: return "robot";
        case Uncounted::kRate: return "rate";
        case Uncounted::kRepeat: return "repeat";
        case Uncounted::kPeek: return "peek";
        case Uncounted::kPast: return "past";
    }
    return "";
}

RULES rules_read(const CGICONFIG& config, FileCache<std::vector<std::string>>* bots) {
    RULES rules;
    rules.ignore_addr = _rules_readaddrs(config, "IGNORE_ADDR", config.ignore_addr);
    for (const std::string& pattern : _rules_words(config.count_agents)) rules.count_agents.push_back(_rules_lower(pattern));
    if (config.ignore_bots == kBotsYes) {
        rules.ignore_bots = true;
        rules.bots = _rules_readbots(bots);
    } else if (!config.ignore_bots.empty() && config.ignore_bots != kBotsNo) {
        support_errormsg("Configuration error. IGNORE_BOTS must be yes or no, not '%s' (%s)",
                         config.ignore_bots.c_str(), _rules_file(config, "IGNORE_BOTS").c_str());
    }
    _rules_readrate(config, rules);
    rules.repeat_minutes = _rules_readminutes(config);
    return rules;
}

std::vector<AddressPrefix> rules_readproxies(const CGICONFIG& config) {
    return _rules_readaddrs(config, "TRUSTED_PROXIES", config.trusted_proxies);
}

std::vector<AddressPrefix> rules_readmetricsaddrs(const CGICONFIG& config) {
    return _rules_readaddrs(config, "METRICS_ADDR", config.metrics_addr);
}

VISITOR rules_visitor(RequestChannel& channel, const CGICONFIG& config) {
    const auto variable = [&](const char* name) -> std::optional<std::string> {
        const char* value = channel.variable(name);
        if (!value) return std::nullopt;
        return std::string(value);
    };
    VISITOR visitor;
    visitor.method = variable("REQUEST_METHOD").value_or("");
    const std::string remote = variable("REMOTE_ADDR").value_or("");
    if (config.trusted_proxies.empty()) {
        visitor.addr = remote;
    } else {
        const Forwarded headers{variable("HTTP_X_FORWARDED_FOR"), variable("HTTP_FORWARDED")};
        visitor.addr = address_visitor(remote, headers, rules_readproxies(config));
    }
    visitor.agent = variable("HTTP_USER_AGENT");
    visitor.prefetch = _rules_saysprefetch(channel.variable("HTTP_SEC_PURPOSE")) ||
                       _rules_saysprefetch(channel.variable("HTTP_PURPOSE")) ||
                       _rules_saysprefetch(channel.variable("HTTP_X_MOZ"));
    return visitor;
}

std::optional<Uncounted> rules_decide(const RULES& rules, const VISITOR& visitor) {
    // A HEAD request is answered without the picture: nobody saw it. A
    // prefetch is fetched for a page that may never be shown.
    if (visitor.method == kMethodHead) return Uncounted::kHead;
    if (visitor.prefetch) return Uncounted::kPrefetch;
    if (!rules.ignore_addr.empty()) {
        const std::optional<Address> addr = address_parse(visitor.addr);
        if (addr && address_matchesany(rules.ignore_addr, *addr)) return Uncounted::kAddress;
    }
    if (!rules.count_agents.empty() && !(visitor.agent && _rules_holds(rules.count_agents, *visitor.agent))) {
        return Uncounted::kAgent;
    }
    if (rules.ignore_bots && _rules_isbot(rules.bots, visitor.agent)) return Uncounted::kRobot;
    return std::nullopt;
}

void RulesAdmission::undo() noexcept {
    if (visits_) visits_->forget();
}

RulesAdmission rules_admit(const CGICONFIG& config, const VISITOR& visitor, Counter& counter, std::time_t now,
                           FileCache<std::vector<std::string>>* bots) {
    const RULES rules = rules_read(config, bots);
    if (const std::optional<Uncounted> why = rules_decide(rules, visitor)) return RulesAdmission(*why);
    if (rules.rate_visits == 0 && rules.repeat_minutes == 0) return RulesAdmission(nullptr);
    VisitsAsk ask;
    if (rules.rate_visits > 0) {
        ask.rate_identity = address_canonical(visitor.addr);
        ask.rate_limit = rules.rate_visits;
        ask.rate_window = rules.rate_seconds;
    }
    if (rules.repeat_minutes > 0) {
        ask.repeat_identity = _rules_identity(visitor);
        ask.repeat_window = rules.repeat_minutes * kSecondsPerMinute;
    }
    std::unique_ptr<VisitsStore> visits = counter.visits(now);
    switch (visits->admit(ask, now)) {
        case VisitsAnswer::kOverRate:
            return RulesAdmission(Uncounted::kRate);  // the store is closed at once: nothing more is written
        case VisitsAnswer::kRepeat:
            return RulesAdmission(Uncounted::kRepeat);
        case VisitsAnswer::kCounted:
            break;
    }
    return RulesAdmission(std::move(visits));
}

std::vector<std::string> rules_parsebots(const std::string& text) {
    // The blanks util_deletespace drops from a configuration value.
    constexpr char kSpace[] = " \t\r\n";
    std::vector<std::string> bots;
    const std::string_view all(text);
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string_view::npos) end = all.size();
        std::string_view line = all.substr(start, end - start);
        start = end + 1;
        const std::size_t first = line.find_first_not_of(kSpace);
        if (first == std::string_view::npos || line[first] == '#') continue;
        line = line.substr(first, line.find_last_not_of(kSpace) - first + 1);
        bots.push_back(_rules_lower(std::string(line)));
    }
    return bots;
}

}  // namespace vorn
