// SPDX-License-Identifier: GPL-3.0-or-later
// What can be wrong with a site and its counters, and their repair: the
// findings of `vornctl check` and the work of `vornctl repair`.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vornctl/counters.h"

namespace vorn {

// The user named `requested` (refused when there is none), or else
// "www-data" when that user exists, or else none (no permission check).
std::optional<WebUser> health_user(const std::optional<std::string>& requested);

// Findings about the site as a whole, reported before those of its
// counters: keys of conf/vc.conf no one knows ("unknown-key"), a counting
// rule whose value makes every counting visit an error image ("config"),
// and what the store finds for the site (with REPEAT_MINUTES on, a visits
// directory and salt the web server user may not write). Changes nothing.
std::vector<Finding> health_site(const Site& site, const std::optional<WebUser>& user);

// Findings about the counters' own files (conf/counters/NAME.conf), each
// under the file's path: a file of no counter ("orphan"), a key that is no
// counting rule ("unknown-key"), a bad value or a file that cannot be read
// ("config"). Files without findings are left out. Changes nothing.
std::vector<std::pair<std::string, std::vector<Finding>>> health_counterfiles(const Site& site);

// Everything found wrong with counter `name`: what its store finds
// (Counter::inspect: a missing or unopenable counter, damage, an
// interrupted change, permissions of the web server user when given), and
// in its records: every record is "totcnt", "startdate" or an hour with a
// decimal value, and the total is not below the sum of the hours. A name
// made before names were bounded, too long for the files kept beside it,
// is named with its fix. Changes nothing.
std::vector<Finding> health_check(const Site& site, const std::string& name, const std::optional<WebUser>& user);

// Repairs the existing counter `name` (Counter::repair).
Repair health_repair(const Site& site, const std::string& name);

}  // namespace vorn
