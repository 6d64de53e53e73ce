// SPDX-License-Identifier: GPL-3.0-or-later
// Which visits a counter records. A HEAD request never shows the picture,
// so it is no visit; the site may also leave out its own addresses
// (IGNORE_ADDR), robots (IGNORE_BOTS with the list conf/bots.txt) and the
// reloads of a visitor counted less than REPEAT_MINUTES ago. A request that
// is not counted is shown the total as it stands.
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

// The configuration of the rules, checked.
struct RULES {
    std::vector<AddressPrefix> ignore_addr;
    bool ignore_bots = false;
    std::vector<std::string> bots;  // the patterns of kBotsFile, in lower case
    long repeat_minutes = 0;        // 0: every visit counts
};

// The request as the rules see it.
struct VISITOR {
    std::string method;                // REQUEST_METHOD
    std::string addr;                  // REMOTE_ADDR
    std::optional<std::string> agent;  // HTTP_USER_AGENT, absent when not sent
};

enum class RulesVerdict {
    kRecord,      // count the visit
    kShow,        // show the total, count nothing
    kRecordOnce,  // count it unless the visitor was counted within the window
};

// Reads and checks the three keys (and kBotsFile when IGNORE_BOTS is yes).
// A bad value is refused, naming its key (throws):
//   "Configuration error. IGNORE_ADDR: '<entry>' is not an address or prefix (conf/vc.conf)"
//   "Configuration error. IGNORE_BOTS must be yes or no, not '<value>' (conf/vc.conf)"
//   "Configuration error. IGNORE_BOTS is yes but conf/bots.txt cannot be read (<cause>)"
//   "Configuration error. REPEAT_MINUTES must be a number from 0 to 1440, not '<value>' (conf/vc.conf)"
// The robot list is read through `bots` when one is given (a worker's
// copy, checked against the file at every use), else from the file.
RULES rules_read(const CGICONFIG& config, FileCache<std::vector<std::string>>* bots = nullptr);

// The request's own CGI variables on `channel` (in the FastCGI mode they
// are not the process's environment).
VISITOR rules_visitor(RequestChannel& channel);

// What to do with the request, by the rules alone: HEAD, an ignored
// address, a robot (in that order) are shown; otherwise REPEAT_MINUTES
// decides between kRecordOnce and kRecord.
RulesVerdict rules_decide(const RULES& rules, const VISITOR& visitor);

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
    RulesAdmission(bool counts, std::unique_ptr<VisitsStore> visits)
        : counts_(counts), visits_(std::move(visits)) {}

    // True when the hit is to be recorded.
    bool counts() const { return counts_; }
    // The admitted hit was not recorded (it failed): the visit is
    // forgotten again, so the visitor's next request counts. Never fails;
    // when even that cannot be written, the visitor is not counted again
    // until the window ends.
    void undo() noexcept;

private:
    bool counts_ = true;
    std::unique_ptr<VisitsStore> visits_;
};

// Reads the rules and decides for the hit on `counter` at the moment
// `now`, asking its visits store (Counter::visits) when REPEAT_MINUTES is
// set. Throws on a bad configuration or a store failure (nothing is
// counted then).
RulesAdmission rules_admit(const CGICONFIG& config, const VISITOR& visitor, Counter& counter, std::time_t now,
                           FileCache<std::vector<std::string>>* bots = nullptr);

}  // namespace vorn
