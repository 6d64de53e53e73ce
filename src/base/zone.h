// SPDX-License-Identifier: GPL-3.0-or-later
// The local time a request is answered in: the process's own (its TZ), or
// the zone a site names (TIMEZONE), used for every hour key, day, date and
// time of the request.
#pragma once

#include <sys/stat.h>

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
//
// A zone is read from its file again when the file changed (a tzdata
// upgrade replaced it: another identity, size, modification or change
// time, as base/filecache.h compares files), and one whose file is gone is
// no zone any more. The same holds for the process's own zone where TZ
// names a file (unset TZ: /etc/localtime). glibc's tzset() alone would
// keep the zone it read first for as long as TZ's text stays the same.
class LocalZone {
public:
    LocalZone();
    ~LocalZone();
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

    // Makes the zone `name` the local time; an empty name makes it the
    // process's own again. False, with nothing changed, when `name` is no
    // zone (zone_exists). Costs one stat of the zone's file; the zone is
    // looked up and read again only when it or its file changed.
    bool use(const std::string& name);

private:
    void _set(const std::optional<std::string>& tz);

    std::optional<std::string> own_;     // the TZ the process started with
    std::string own_file_;               // the file own_ reads ("": none)
    std::string current_;                // the zone in use; empty: the process's own
    bool used_ = false;                  // a zone has been set once
    std::optional<struct stat> file_;    // its file when it was set; nullopt: none (or not yet looked at)
};

}  // namespace vorn
