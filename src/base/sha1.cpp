// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/sha1.h"

#include <array>
#include <cstdint>

namespace vorn {

namespace {

std::uint32_t _sha1_rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void _sha1_block(std::array<std::uint32_t, 5>& h, const unsigned char* block) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
               (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
    }
    for (int i = 16; i < 80; ++i) w[i] = _sha1_rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t t = _sha1_rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = _sha1_rotl(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

}  // namespace

std::string sha1_hex(std::string_view data) {
    std::array<std::uint32_t, 5> h = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::size_t at = 0;
    for (; data.size() - at >= 64; at += 64) _sha1_block(h, reinterpret_cast<const unsigned char*>(data.data()) + at);
    // The rest, a one bit, zeros, and the length in bits.
    unsigned char tail[128] = {};
    const std::size_t rest = data.size() - at;
    for (std::size_t i = 0; i < rest; ++i) tail[i] = static_cast<unsigned char>(data[at + i]);
    tail[rest] = 0x80;
    const std::size_t blocks = rest + 9 <= 64 ? 1 : 2;
    const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    for (int i = 0; i < 8; ++i) tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (std::size_t b = 0; b < blocks; ++b) _sha1_block(h, tail + 64 * b);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (std::uint32_t word : h) {
        for (int shift = 28; shift >= 0; shift -= 4) hex += kHex[(word >> shift) & 0xF];
    }
    return hex;
}

}  // namespace vorn
