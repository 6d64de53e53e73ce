// SPDX-License-Identifier: GPL-3.0-or-later
// SipHash-2-4: a keyed hash of short messages (a pseudorandom function
// with a 128-bit key and a 64-bit result). Without the key, results can be
// neither computed nor inverted, so a remembered visitor is stored as one.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vorn {

inline constexpr std::size_t kSipHashKeySize = 16;
using SipHashKey = std::array<unsigned char, kSipHashKeySize>;

// SipHash-2-4 of `message` under `key`, the 64-bit result as a number (its
// little-endian bytes are the 8 bytes of the reference output).
std::uint64_t siphash_24(const SipHashKey& key, std::string_view message);

}  // namespace vorn
