// SPDX-License-Identifier: GPL-3.0-or-later
#include "counting/rules.h"

#include <fcntl.h>
#include <unistd.h>

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

std::vector<AddressPrefix> _rules_readaddrs(const std::string& value) {
    std::vector<AddressPrefix> prefixes;
    std::size_t pos = value.find_first_not_of(kBlanks);
    while (pos != std::string::npos) {
        const std::size_t end = value.find_first_of(kBlanks, pos);
        const std::string entry = value.substr(pos, end - pos);
        std::optional<AddressPrefix> prefix = address_parseprefix(entry);
        if (!prefix) {
            support_errormsg("Configuration error. IGNORE_ADDR: '%s' is not an address or prefix (%s)",
                             entry.c_str(), kConfigFile);
        }
        prefixes.push_back(*prefix);
        pos = value.find_first_not_of(kBlanks, end);
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

long _rules_readminutes(const std::string& value) {
    if (value.empty()) return 0;
    // Digits only: a sign, a unit or a fraction is refused, not cut off.
    const long minutes = _rules_digits(value) && value.size() <= 4 ? util_tolong(value) : -1;
    if (minutes < 0 || minutes > kMaxRepeatMinutes) {
        support_errormsg("Configuration error. REPEAT_MINUTES must be a number from 0 to %ld, not '%s' (%s)",
                         kMaxRepeatMinutes, value.c_str(), kConfigFile);
    }
    return minutes;
}

// What identifies a visitor to the visits store: the canonical address and
// the User-Agent. A zero byte cannot occur in either, so no two visitors
// give the same text.
std::string _rules_identity(const VISITOR& visitor) {
    return address_canonical(visitor.addr) + '\0' + visitor.agent.value_or("");
}

// True when `agent` is absent, empty or holds one of `bots` (lower case),
// letters compared without case.
bool _rules_isbot(const std::vector<std::string>& bots, const std::optional<std::string>& agent) {
    if (!agent || agent->empty()) return true;
    const std::string lower = _rules_lower(*agent);
    for (const std::string& pattern : bots) {
        if (lower.find(pattern) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

RULES rules_read(const CGICONFIG& config, FileCache<std::vector<std::string>>* bots) {
    RULES rules;
    rules.ignore_addr = _rules_readaddrs(config.ignore_addr);
    if (config.ignore_bots == kBotsYes) {
        rules.ignore_bots = true;
        rules.bots = _rules_readbots(bots);
    } else if (!config.ignore_bots.empty() && config.ignore_bots != kBotsNo) {
        support_errormsg("Configuration error. IGNORE_BOTS must be yes or no, not '%s' (%s)",
                         config.ignore_bots.c_str(), kConfigFile);
    }
    rules.repeat_minutes = _rules_readminutes(config.repeat_minutes);
    return rules;
}

VISITOR rules_visitor(RequestChannel& channel) {
    const auto variable = [&](const char* name) -> std::optional<std::string> {
        const char* value = channel.variable(name);
        if (!value) return std::nullopt;
        return std::string(value);
    };
    VISITOR visitor;
    visitor.method = variable("REQUEST_METHOD").value_or("");
    visitor.addr = variable("REMOTE_ADDR").value_or("");
    visitor.agent = variable("HTTP_USER_AGENT");
    return visitor;
}

RulesVerdict rules_decide(const RULES& rules, const VISITOR& visitor) {
    // A HEAD request is answered without the picture: nobody saw it.
    if (visitor.method == kMethodHead) return RulesVerdict::kShow;
    if (!rules.ignore_addr.empty()) {
        if (std::optional<Address> addr = address_parse(visitor.addr)) {
            for (const AddressPrefix& prefix : rules.ignore_addr) {
                if (address_matches(prefix, *addr)) return RulesVerdict::kShow;
            }
        }
    }
    if (rules.ignore_bots && _rules_isbot(rules.bots, visitor.agent)) return RulesVerdict::kShow;
    return rules.repeat_minutes > 0 ? RulesVerdict::kRecordOnce : RulesVerdict::kRecord;
}

void RulesAdmission::undo() noexcept {
    if (visits_) visits_->forget();
}

RulesAdmission rules_admit(const CGICONFIG& config, const VISITOR& visitor, Counter& counter, std::time_t now,
                           FileCache<std::vector<std::string>>* bots) {
    const RULES rules = rules_read(config, bots);
    switch (rules_decide(rules, visitor)) {
        case RulesVerdict::kShow:
            return RulesAdmission(false, nullptr);
        case RulesVerdict::kRecord:
            return RulesAdmission(true, nullptr);
        case RulesVerdict::kRecordOnce:
            break;
    }
    std::unique_ptr<VisitsStore> visits = counter.visits(now);
    if (!visits->remember(_rules_identity(visitor), now, rules.repeat_minutes * kSecondsPerMinute)) {
        return RulesAdmission(false, nullptr);  // the store is closed at once: a repeat writes nothing more
    }
    return RulesAdmission(true, std::move(visits));
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
