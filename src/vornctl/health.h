// What can be wrong with a counter, and its repair: the findings of
// `vornctl check` and the work of `vornctl repair`.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "counters.h"

namespace vorn {

// The user the web server runs vorncounter as, for the permission check.
struct WebUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // every group the user is in
};

// The user named `requested` (refused when there is none), or else
// "www-data" when that user exists, or else none (no permission check).
std::optional<WebUser> health_user(const std::optional<std::string>& requested);

// One thing found wrong: a short kind for scripts ("name", "missing", "open",
// "needs-recovery", "damaged", "journal", "damaged-copy", "permission",
// "foreign-record", "bad-value", "total-below-hours") and the line shown.
struct Finding {
    std::string kind;
    std::string message;
};

// Everything found wrong with counter `name`. On the gdbm files: the file is
// there and opens, gdbm finds no damage and no need of recovery, no
// interrupted change or copy kept by a recovery lies beside it, and the web
// server user (when given) may read and write the file and write its
// directory (for the journal). On a server: it answers ("open" when it does
// not, or refuses the password) and the name is in its set of counters
// ("missing"); there are no files and no permissions to look at, so `user`
// is not used. In both: every record is "totcnt", "startdate" or an hour
// with a decimal value, and the total is not below the sum of the hours.
// Changes nothing.
std::vector<Finding> health_check(const Site& site, const std::string& name, const std::optional<WebUser>& user);

// Findings about the site as a whole, reported before those of its
// counters: keys of conf/vc.conf no one knows ("unknown-key"), a counting
// rule whose value makes every counting visit an error image ("config"),
// and, with REPEAT_MINUTES on, the visits directory and salt the web server
// user (when given) may not write ("permission"). Changes nothing.
std::vector<Finding> health_site(const Site& site, const std::optional<WebUser>& user);

// What repair did.
struct Repair {
    std::optional<std::string> file;     // the counter file; none outside the gdbm files
    std::optional<std::string> problem;  // what gdbm found, when it rebuilt the file
    std::optional<DbRecovery> recovery;  // what the rebuild kept and lost
    bool undid_change = false;           // an interrupted change was undone
    std::optional<std::string> removed;  // what stood in the journal's place and was removed
};

// Rebuilds a counter file that needs recovery or is damaged (dbutil_recover:
// the original stays beside it as NAME.damaged), then undoes an interrupted
// change that its journal still guards. A sound file without a journal is
// left alone. A file gdbm cannot open at all cannot be repaired (refused).
// A counter on a server has nothing to repair: the server applies each
// visit and change whole, and keeps no file that could be left damaged or
// half changed (answered with no file). A counter that does not exist is
// refused in both stores.
Repair health_repair(const Site& site, const std::string& name);

}  // namespace vorn
