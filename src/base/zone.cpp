// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/zone.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/filecache.h"
#include "base/util.h"

namespace vorn {

namespace {

constexpr char kZoneDir[] = "/usr/share/zoneinfo";
constexpr char kZoneMagic[] = "TZif";
// IANA names are at most a few dozen characters.
constexpr std::size_t kMaxZoneName = 255;
// The file glibc takes the local time from when TZ is unset.
constexpr char kDefaultZoneFile[] = "/etc/localtime";
// A TZ that is a rule, no zone of the database. glibc keeps the zone it
// read for as long as the text of TZ stays the same, whatever became of
// the file: setting this for a moment makes it read the file again.
constexpr char kOtherZone[] = "UTC0";

// Characters of IANA zone names ("America/Argentina/Buenos_Aires",
// "Etc/GMT+9", "UTC").
bool _zone_namechar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '_' ||
           c == '-' || c == '+';
}

std::string _zone_dir() {
    const char* dir = std::getenv("TZDIR");
    return dir && *dir ? dir : kZoneDir;
}

// The file of the zone `name` in the zone database, or nullopt for a name
// that is no IANA name or could reach outside the database.
std::optional<std::string> _zone_path(const std::string& name) {
    if (name.empty() || name.size() > kMaxZoneName || name.front() == '/' || name.find("..") != std::string::npos) {
        return std::nullopt;
    }
    for (char c : name) {
        if (!_zone_namechar(c)) return std::nullopt;
    }
    return _zone_dir() + "/" + name;
}

// The file glibc reads the local time from for a TZ of `tz` (nullopt:
// unset), or "" for none: a TZ of ":NAME" or "NAME" is a file of the zone
// database (a rule such as "KST-9" names a file that is not there), an
// absolute one that file.
std::string _zone_tzfile(const std::optional<std::string>& tz) {
    if (!tz) return kDefaultZoneFile;
    const std::string name = !tz->empty() && tz->front() == ':' ? tz->substr(1) : *tz;
    if (name.empty()) return "";
    return name.front() == '/' ? name : _zone_dir() + "/" + name;
}

// What identifies the version of the file `path` (filecache_samefile), or
// nullopt when there is none.
std::optional<struct stat> _zone_stat(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

bool _zone_samefile(const std::optional<struct stat>& a, const std::optional<struct stat>& b) {
    return a && b ? filecache_samefile(*a, *b) : !a && !b;
}

}  // namespace

bool zone_exists(const std::string& name) {
    const std::optional<std::string> path = _zone_path(name);
    if (!path) return false;
    UniqueFd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    char magic[sizeof kZoneMagic - 1];
    return fd && ::read(fd.get(), magic, sizeof magic) == static_cast<ssize_t>(sizeof magic) &&
           std::memcmp(magic, kZoneMagic, sizeof magic) == 0;
}

LocalZone::LocalZone() {
    if (const char* tz = std::getenv("TZ")) own_ = tz;
    own_file_ = _zone_tzfile(own_);
}

LocalZone::~LocalZone() {
    if (!current_.empty()) _set(own_);
}

bool LocalZone::use(const std::string& name) {
    std::optional<std::string> tz = own_;
    std::string path = own_file_;
    if (!name.empty()) {
        const std::optional<std::string> zone = _zone_path(name);
        if (!zone) return false;
        // ":NAME" is read from the zone database only, never as a rule text.
        tz = ":" + name;
        path = *zone;
    }
    // The one stat of a request: the zone stays while its file does.
    const std::optional<struct stat> file = _zone_stat(path);
    if (name == current_ && _zone_samefile(file, file_)) return true;
    if (!name.empty() && !zone_exists(name)) return false;
    // glibc reads a zone again only for another text of TZ. At the first
    // use nothing of the file was kept yet (a CGI run, a worker's start).
    const char* set = std::getenv("TZ");
    if (used_ && (set ? tz && *tz == set : !tz)) _set(kOtherZone);
    used_ = true;
    current_ = name;
    file_ = file;
    _set(tz);
    return true;
}

void LocalZone::_set(const std::optional<std::string>& tz) {
    if (tz) {
        setenv("TZ", tz->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace vorn
