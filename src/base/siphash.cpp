// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/siphash.h"

#include <bit>

namespace vorn {

namespace {

std::uint64_t _siphash_load(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }
    // Two compression rounds per 8-byte word.
    void absorb(std::uint64_t m) {
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
};

}  // namespace

std::uint64_t siphash_24(const SipHashKey& key, std::string_view message) {
    const std::uint64_t k0 = _siphash_load(key.data(), 8);
    const std::uint64_t k1 = _siphash_load(key.data() + 8, 8);
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(message.data());
    const std::size_t n = message.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) s.absorb(_siphash_load(p + i, 8));
    // The last word: the remaining bytes and the message length's low byte
    // in the top byte.
    s.absorb(_siphash_load(p + i, n - i) | (static_cast<std::uint64_t>(n & 0xff) << 56));
    // Four finalization rounds.
    s.v2 ^= 0xff;
    for (int r = 0; r < 4; ++r) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace vorn
