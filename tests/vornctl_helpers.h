// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the end-to-end tests of vornctl on both stores.
#pragma once

#include <ctime>
#include <string>

#include "harness.h"

namespace vorn::test {

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// "YYYY/MM/DD" of `days_ago` days before now, in UTC (the tests run the
// programs with TZ=UTC).
inline std::string day_key(int days_ago) {
    const std::time_t t = std::time(nullptr) - static_cast<std::time_t>(days_ago) * 86400;
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y/%m/%d", std::gmtime(&t));
    return buf;
}

// A visit of the counter `name`.
inline Request hit(const std::string& name) {
    Request req;
    req.query = "vdb=" + name;
    return req;
}

// Four hours in export's form, 21 visits in all.
inline const std::string kHistory =
    "hour,count\n"
    "2025/12/31/23,3\n"
    "2026/01/01/00,5\n"
    "2026/01/01/13,12\n"
    "2026/02/28/09,1\n";

}  // namespace vorn::test
