#include "rules.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "support.h"
#include "util.h"

namespace vorn {

namespace {

constexpr char kMethodHead[] = "HEAD";
constexpr char kBotsYes[] = "yes";
constexpr char kBotsNo[] = "no";
constexpr long kSecondsPerMinute = 60;
constexpr int kIpv4Bits = 32;
constexpr int kIpv6Bits = 128;
constexpr int kMappedBits = kIpv6Bits - kIpv4Bits;  // the ::ffff:0:0/96 of IPv4

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

std::vector<AddrPrefix> _rules_readaddrs(const std::string& value) {
    std::vector<AddrPrefix> prefixes;
    std::size_t pos = value.find_first_not_of(kBlanks);
    while (pos != std::string::npos) {
        const std::size_t end = value.find_first_of(kBlanks, pos);
        const std::string entry = value.substr(pos, end - pos);
        std::optional<AddrPrefix> prefix = _rules_parseprefix(entry);
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

std::vector<std::string> _rules_readbots() {
    UniqueFd in(open(kBotsFile, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!in) _rules_botserror(std::strerror(errno));
    std::string text;
    char buf[16384];
    for (;;) {
        const ssize_t n = read(in.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) _rules_botserror(std::strerror(errno));
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxBotsFile) _rules_botserror("larger than 1 MiB");
    }
    return _rules_parsebots(text);
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

// The address of a visitor as one text whatever form the web server gave
// it in: an IPv4 address mapped into IPv6 (::ffff:1.2.3.4) as the IPv4
// address, IPv6 in its canonical form (lower case, the longest run of
// zeros shortened), and no zone. A text that is no address stays as it is.
std::string _rules_canonicaladdr(const std::string& text) {
    std::optional<RulesAddr> addr = _rules_parseaddr(text);
    if (!addr) return text;
    char shown[INET6_ADDRSTRLEN] = "";
    constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(addr->data(), kMapped, sizeof kMapped) == 0) {
        inet_ntop(AF_INET, addr->data() + sizeof kMapped, shown, sizeof shown);
    } else {
        inet_ntop(AF_INET6, addr->data(), shown, sizeof shown);
    }
    return shown;
}

// What identifies a visitor to the visits store: the canonical address and
// the User-Agent. A zero byte cannot occur in either, so no two visitors
// give the same text.
std::string _rules_identity(const VISITOR& visitor) {
    return _rules_canonicaladdr(visitor.addr) + '\0' + visitor.agent.value_or("");
}

}  // namespace

RULES rules_read(const CGICONFIG& cgiconfig) {
    RULES rules;
    rules.ignore_addr = _rules_readaddrs(cgiconfig.ignore_addr);
    if (cgiconfig.ignore_bots == kBotsYes) {
        rules.ignore_bots = true;
        rules.bots = _rules_readbots();
    } else if (!cgiconfig.ignore_bots.empty() && cgiconfig.ignore_bots != kBotsNo) {
        support_errormsg("Configuration error. IGNORE_BOTS must be yes or no, not '%s' (%s)",
                         cgiconfig.ignore_bots.c_str(), kConfigFile);
    }
    rules.repeat_minutes = _rules_readminutes(cgiconfig.repeat_minutes);
    return rules;
}

VISITOR rules_visitor() {
    VISITOR visitor;
    visitor.method = rules_cgivariable("REQUEST_METHOD").value_or("");
    visitor.addr = rules_cgivariable("REMOTE_ADDR").value_or("");
    visitor.agent = rules_cgivariable("HTTP_USER_AGENT");
    return visitor;
}

RulesVerdict rules_decide(const RULES& rules, const VISITOR& visitor) {
    // A HEAD request is answered without the picture: nobody saw it.
    if (visitor.method == kMethodHead) return RulesVerdict::kShow;
    if (!rules.ignore_addr.empty()) {
        if (std::optional<RulesAddr> addr = _rules_parseaddr(visitor.addr)) {
            for (const AddrPrefix& prefix : rules.ignore_addr) {
                if (_rules_addrmatches(prefix, *addr)) return RulesVerdict::kShow;
            }
        }
    }
    if (rules.ignore_bots && _rules_isbot(rules.bots, visitor.agent)) return RulesVerdict::kShow;
    return rules.repeat_minutes > 0 ? RulesVerdict::kRecordOnce : RulesVerdict::kRecord;
}

void RulesAdmission::undo() noexcept {
    if (visits_) visits_->forget();
}

RulesAdmission rules_admit(const CGICONFIG& cgiconfig, Counter& counter) {
    const RULES rules = rules_read(cgiconfig);
    const VISITOR visitor = rules_visitor();
    switch (rules_decide(rules, visitor)) {
        case RulesVerdict::kShow:
            return RulesAdmission(false, nullptr);
        case RulesVerdict::kRecord:
            return RulesAdmission(true, nullptr);
        case RulesVerdict::kRecordOnce:
            break;
    }
    const std::time_t now = support_now();
    std::unique_ptr<VisitsStore> visits = counter.visits(now);
    if (!visits->remember(_rules_identity(visitor), now, rules.repeat_minutes * kSecondsPerMinute)) {
        return RulesAdmission(false, nullptr);  // the store is closed at once: a repeat writes nothing more
    }
    return RulesAdmission(true, std::move(visits));
}

std::optional<std::string> rules_cgivariable(const char* name) {
    // The request's own variables: in the FastCGI mode they are not the
    // process's environment.
    const char* value = util_channel().variable(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

std::optional<RulesAddr> _rules_parseaddr(const std::string& text) {
    RulesAddr addr{};
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        addr[10] = addr[11] = 0xff;
        std::memcpy(addr.data() + 12, &v4, 4);
        return addr;
    }
    // A link-local address may come with its zone ("fe80::1%eth0"); the
    // zone names an interface of the server, not part of the address.
    const std::string bare = text.substr(0, text.find('%'));
    if (inet_pton(AF_INET6, bare.c_str(), addr.data()) == 1) return addr;
    return std::nullopt;
}

std::optional<AddrPrefix> _rules_parseprefix(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    // A zone belongs to a visitor's address as the server saw it, not to
    // an entry of the list.
    if (host.find('%') != std::string::npos) return std::nullopt;
    std::optional<RulesAddr> addr = _rules_parseaddr(host);
    if (!addr) return std::nullopt;
    const bool ipv4 = host.find(':') == std::string::npos;
    AddrPrefix prefix;
    prefix.addr = *addr;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        const int most = ipv4 ? kIpv4Bits : kIpv6Bits;
        if (!_rules_digits(bits) || bits.size() > 3 || util_tolong(bits) > most) return std::nullopt;
        prefix.bits = static_cast<int>(util_tolong(bits)) + (ipv4 ? kMappedBits : 0);
    }
    return prefix;
}

bool _rules_addrmatches(const AddrPrefix& prefix, const RulesAddr& addr) {
    const int whole = prefix.bits / 8;
    if (std::memcmp(prefix.addr.data(), addr.data(), static_cast<std::size_t>(whole)) != 0) return false;
    const int rest = prefix.bits % 8;
    if (rest == 0) return true;
    const unsigned mask = (0xffu << (8 - rest)) & 0xffu;
    return ((prefix.addr[static_cast<std::size_t>(whole)] ^ addr[static_cast<std::size_t>(whole)]) & mask) == 0;
}

std::vector<std::string> _rules_parsebots(const std::string& text) {
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

bool _rules_isbot(const std::vector<std::string>& bots, const std::optional<std::string>& agent) {
    if (!agent || agent->empty()) return true;
    const std::string lower = _rules_lower(*agent);
    for (const std::string& pattern : bots) {
        if (lower.find(pattern) != std::string::npos) return true;
    }
    return false;
}

}  // namespace vorn
