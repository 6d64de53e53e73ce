// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of the SVG and JSON answers that are worked out from text: the
// status of a failure from its message, a count as a number, and the text a
// date or time picture shows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vorncounter/formats.h"

namespace vorn::test {
namespace {

// One message of each kind the error picture shows, grouped by the status
// a JSON answer gives it.
TEST(format_status, EachMessageByItsKind) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> groups = {
        {"Status: 404 Not Found\n",
         {"DB file (./save/home.db) not found", "Counter (home) not found in redis (127.0.0.1:6379)"}},
        {"Status: 400 Bad Request\n",
         {"VornCounter-2.0.0 beta1 (March 11, 2001)", "Invalid counter name ('../x'): a name may not hold '/' or '..'",
          "DB file path too long (./save/xxxx)", "Counter name too long (300 characters, at most 240)",
          "Unknown mode ('week')", "Unknown style ('z')", "Unknown when ('week')", "Unknown format ('xml')",
          "Invalid digit set ('../x'): a name may not hold '/' or '..'", "Invalid cntlen ('0'): use 1 to 64",
          "Invalid scale ('9'): use 1 to 8", "ago out of range ('99999999')", "Request body too large (70000 bytes)",
          "Request body incomplete (10 of 20 bytes)"}},
        {"Status: 503 Service Unavailable\n",
         {"DB open error. Time out. Please, try again.", "Visits file error. Time out. Please, try again.",
          "Redis error. Connection refused (127.0.0.1:6379)"}},
        {"Status: 500 Internal Server Error\n",
         {"DB open error. Bad magic number (./save/home.db)", "DB write error. No space left on device (./save/home.db)",
          "Image file open error. ('./image/digits/x/0.gif')", "Error, './image/resource/imgyear.rc' file not found",
          "Configuration file('conf/vc.conf') not found.",
          "Configuration error. TIMEZONE: 'Mars/Olympus_Mons' is not a time zone (conf/vc.conf)",
          "Visits file error. Permission denied (./save/visits/home)", "DB Error!! (Malformed bucket header)",
          // Near misses of the 404 message are other failures.
          "DB file (./save/home.db) not found here", ""}},
    };
    for (const auto& [status, messages] : groups) {
        for (const std::string& message : messages) EXPECT_EQ(format_status(message), status) << message;
    }
}

TEST(format_number, CountsWithoutPadding) {
    EXPECT_EQ(format_number("0022"), "22");
    EXPECT_EQ(format_number("000"), "0");
    EXPECT_EQ(format_number("0"), "0");
    EXPECT_EQ(format_number("123456789012345678901234567890"), "123456789012345678901234567890");
    // A stored text that is not all digits is the number it is read as.
    EXPECT_EQ(format_number(""), "0");
    EXPECT_EQ(format_number("12abc"), "12");
}

TEST(format_shown, SeparatorsAndMarksAsText) {
    EXPECT_EQ(format_shown("03h11h2001"), "03/11/2001");
    EXPECT_EQ(format_shown("2001m03h11"), "2001-03/11");
    EXPECT_EQ(format_shown("03r07p"), "03:07 PM");
    EXPECT_EQ(format_shown("12r05a"), "12:05 AM");
    EXPECT_EQ(format_shown("p"), "PM");
    EXPECT_EQ(format_shown("15"), "15");
}

}  // namespace
}  // namespace vorn::test
