// SPDX-License-Identifier: GPL-3.0-or-later
// Which visits a counter records. A HEAD request never shows the picture,
// and a prefetch is no view, so neither is a visit; the site may also leave
// out its own addresses (IGNORE_ADDR), count only some User-Agents
// (COUNT_AGENTS), leave out robots (IGNORE_BOTS with the list
// conf/bots.txt), count at most so many visits of one address in a window
// (RATE_LIMIT) and the reloads of a visitor counted less than
// REPEAT_MINUTES ago. The rules apply in that order, and a visit left out
// by one takes no step of a later one. Behind the site's own proxies
// (TRUSTED_PROXIES) the visitor is the address they forward. A request
// that is not counted is shown the total as it stands.
//
// The decision reads only the configuration and the request's CGI
// variables; the visits counted lately are kept behind the VisitsStore
// interface (store/visits.h), so the rules hold whatever store the counter
// uses. Nothing here outlives a request.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/filecache.h"
#include "config/config.h"
#include "counting/address.h"
#include "store/store.h"
#include "store/visits.h"
#include "web/channel.h"

namespace vorn {

// The list of robot patterns read when IGNORE_BOTS is yes, and its limit.
inline constexpr char kBotsFile[] = "conf/bots.txt";
inline constexpr std::size_t kMaxBotsFile = 1024 * 1024;

// Largest REPEAT_MINUTES: one day, as remembered visits end at midnight.
inline constexpr long kMaxRepeatMinutes = 1440;
// Largest RATE_LIMIT: visits kept per address, and a window of a day.
inline constexpr long kMaxRateVisits = 1000;
inline constexpr long kMaxRateSeconds = 86400;

// The configuration of the rules, checked.
struct RULES {
    std::vector<AddressPrefix> ignore_addr;
    std::vector<std::string> count_agents;  // lower case; empty: every User-Agent counts
    bool ignore_bots = false;
    std::vector<std::string> bots;  // the patterns of kBotsFile, in lower case
    long rate_visits = 0;           // 0: no rate limit
    long rate_seconds = 0;
    long repeat_minutes = 0;        // 0: every visit counts
};

// The request as the rules see it.
struct VISITOR {
    std::string method;                // REQUEST_METHOD
    std::string addr;                  // the visitor's address (address_visitor: REMOTE_ADDR or forwarded)
    std::optional<std::string> agent;  // HTTP_USER_AGENT, absent when not sent
    bool prefetch = false;             // marked a prefetch (Sec-Purpose, Purpose or X-Moz)
};

// Why a visit was not counted.
enum class Uncounted {
    kHead,      // a HEAD request
    kPrefetch,  // a prefetch
    kAddress,   // IGNORE_ADDR
    kAgent,     // COUNT_AGENTS names none of its User-Agent
    kRobot,     // IGNORE_BOTS
    kRate,      // RATE_LIMIT
    kRepeat,    // REPEAT_MINUTES
    kPeek,      // count=no
    kPast,      // ago=N: a past day is shown
};

// The word of `why` in a JSON answer: "head", "prefetch", "address",
// "agent", "robot", "rate", "repeat", "peek", "past".
const char* rules_reason(Uncounted why);

// Reads and checks the counting keys (and kBotsFile when IGNORE_BOTS is
// yes). A bad value is refused, naming its key and the file it is in
// (throws):
//   "Configuration error. IGNORE_ADDR: '<entry>' is not an address or prefix (<file>)"
//   "Configuration error. IGNORE_BOTS must be yes or no, not '<value>' (<file>)"
//   "Configuration error. IGNORE_BOTS is yes but conf/bots.txt cannot be read (<cause>)"
//   "Configuration error. REPEAT_MINUTES must be a number from 0 to 1440, not '<value>' (<file>)"
//   "Configuration error. RATE_LIMIT must be VISITS/SECONDS, 1 to 1000 visits in 1 to 86400 seconds, not '<value>' (<file>)"
// The robot list is read through `bots` when one is given (a worker's
// copy, checked against the file at every use), else from the file.
RULES rules_read(const CGICONFIG& config, FileCache<std::vector<std::string>>* bots = nullptr);

// The trusted proxies of TRUSTED_PROXIES; a bad entry is refused (throws):
//   "Configuration error. TRUSTED_PROXIES: '<entry>' is not an address or prefix (conf/vc.conf)"
std::vector<AddressPrefix> rules_readproxies(const CGICONFIG& config);

// The addresses of METRICS_ADDR, which may ask for the metrics and the
// health of the site; a bad entry is refused (throws):
//   "Configuration error. METRICS_ADDR: '<entry>' is not an address or prefix (conf/vc.conf)"
std::vector<AddressPrefix> rules_readmetricsaddrs(const CGICONFIG& config);

// The request's own CGI variables on `channel` (in the FastCGI mode they
// are not the process's environment); the visitor's address is the one
// the proxies of TRUSTED_PROXIES forward, when the request comes from one.
VISITOR rules_visitor(RequestChannel& channel, const CGICONFIG& config);

// What the rules alone say of the request: why it is left out (HEAD,
// prefetch, IGNORE_ADDR, COUNT_AGENTS, IGNORE_BOTS, in that order), or
// nullopt when it counts unless RATE_LIMIT or REPEAT_MINUTES says no.
std::optional<Uncounted> rules_decide(const RULES& rules, const VISITOR& visitor);

// The patterns of a robot list's text: one a line, blanks around it
// dropped, lines that are empty or begin with "#" skipped; in lower case.
std::vector<std::string> rules_parsebots(const std::string& text);

// The outcome for one hit. When it counts a visit that the visits store
// now remembers, it keeps the store (and so its lock) until it is
// destroyed, so that no concurrent request of the same visitor counts too
// before the hit is recorded.
class RulesAdmission {
public:
    RulesAdmission() = default;
    explicit RulesAdmission(Uncounted why) : why_(why) {}
    explicit RulesAdmission(std::unique_ptr<VisitsStore> visits) : visits_(std::move(visits)) {}

    // True when the hit is to be recorded.
    bool counts() const { return !why_; }
    // Why it is not, when it is not.
    std::optional<Uncounted> why() const { return why_; }
    // The admitted hit was not recorded (it failed): the visit is
    // forgotten again, so the visitor's next request counts and the rate
    // step is given back. Never fails; when even that cannot be written,
    // the visitor is not counted again until the window ends.
    void undo() noexcept;

private:
    std::optional<Uncounted> why_;
    std::unique_ptr<VisitsStore> visits_;
};

// Reads the rules and decides for the hit on `counter` at the moment
// `now`, asking its visits store (Counter::visits) when RATE_LIMIT or
// REPEAT_MINUTES is set. Throws on a bad configuration or a store failure
// (nothing is counted then).
RulesAdmission rules_admit(const CGICONFIG& config, const VISITOR& visitor, Counter& counter, std::time_t now,
                           FileCache<std::vector<std::string>>* bots = nullptr);

}  // namespace vorn
