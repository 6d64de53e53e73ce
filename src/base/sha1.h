// SPDX-License-Identifier: GPL-3.0-or-later
// SHA-1 (FIPS 180-4), for the one use that needs it: naming a Lua script as
// a Redis server names it (EVALSHA), so that a visit sends the script's
// digest instead of its text. Not for anything that must resist an
// attacker.
#pragma once

#include <string>
#include <string_view>

namespace vorn {

// The SHA-1 digest of `data` as 40 lower-case hex digits.
std::string sha1_hex(std::string_view data);

}  // namespace vorn
