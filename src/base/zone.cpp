// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/zone.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/util.h"

namespace vorn {

namespace {

constexpr char kZoneDir[] = "/usr/share/zoneinfo";
constexpr char kZoneMagic[] = "TZif";
// IANA names are at most a few dozen characters.
constexpr std::size_t kMaxZoneName = 255;

// Characters of IANA zone names ("America/Argentina/Buenos_Aires",
// "Etc/GMT+9", "UTC").
bool _zone_namechar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '_' ||
           c == '-' || c == '+';
}

}  // namespace

bool zone_exists(const std::string& name) {
    if (name.empty() || name.size() > kMaxZoneName || name.front() == '/' || name.find("..") != std::string::npos) {
        return false;
    }
    for (char c : name) {
        if (!_zone_namechar(c)) return false;
    }
    const char* dir = std::getenv("TZDIR");
    const std::string path = std::string(dir && *dir ? dir : kZoneDir) + "/" + name;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    char magic[sizeof kZoneMagic - 1];
    return fd && ::read(fd.get(), magic, sizeof magic) == static_cast<ssize_t>(sizeof magic) &&
           std::memcmp(magic, kZoneMagic, sizeof magic) == 0;
}

LocalZone::LocalZone() {
    if (const char* tz = std::getenv("TZ")) own_ = tz;
}

LocalZone::~LocalZone() {
    if (!current_.empty()) _set(own_);
}

bool LocalZone::use(const std::string& name) {
    if (name == current_) return true;
    if (!name.empty() && !zone_exists(name)) return false;
    current_ = name;
    // ":NAME" is read from the zone database only, never as a rule text.
    _set(name.empty() ? own_ : std::optional<std::string>(":" + name));
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
