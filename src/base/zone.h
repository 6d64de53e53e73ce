// SPDX-License-Identifier: GPL-3.0-or-later
// The local time a request is answered in: the process's own (its TZ), or
// the zone a site names (TIMEZONE), used for every hour key, day, date and
// time of the request.
#pragma once

#include <optional>
#include <string>

namespace vorn {

// Whether `name` names a time zone of the system's zone database (an IANA
// name such as "Asia/Seoul" or "UTC": a file of that name under TZDIR,
// /usr/share/zoneinfo by default, that holds zone data). Names that could
// reach outside the database are none.
bool zone_exists(const std::string& name);

// Sets the process's local time (the TZ of its environment, which
// localtime_r follows) for one request after another, and puts the
// process's own back when it ends. Owned by whoever answers the requests.
class LocalZone {
public:
    LocalZone();
    ~LocalZone();
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

    // Makes the zone `name` the local time; an empty name makes it the
    // process's own again. False, with nothing changed, when `name` is no
    // zone (zone_exists). The zone is looked up only when it changes.
    bool use(const std::string& name);

private:
    void _set(const std::optional<std::string>& tz);

    std::optional<std::string> own_;  // the TZ the process started with
    std::string current_;             // the zone in use; empty: the process's own
};

}  // namespace vorn
