// SPDX-License-Identifier: GPL-3.0-or-later
#include "counting/address.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/util.h"

namespace vorn {

namespace {

constexpr int kIpv4Bits = 32;
constexpr int kIpv6Bits = 128;
constexpr int kMappedBits = kIpv6Bits - kIpv4Bits;  // the ::ffff:0:0/96 of IPv4
constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool _address_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::optional<Address> address_parse(const std::string& text) {
    Address addr{};
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        std::memcpy(addr.data(), kMapped, sizeof kMapped);
        std::memcpy(addr.data() + sizeof kMapped, &v4, 4);
        return addr;
    }
    const std::string bare = text.substr(0, text.find('%'));
    if (inet_pton(AF_INET6, bare.c_str(), addr.data()) == 1) return addr;
    return std::nullopt;
}

std::string address_canonical(const std::string& text) {
    std::optional<Address> addr = address_parse(text);
    if (!addr) return text;
    char shown[INET6_ADDRSTRLEN] = "";
    if (std::memcmp(addr->data(), kMapped, sizeof kMapped) == 0) {
        inet_ntop(AF_INET, addr->data() + sizeof kMapped, shown, sizeof shown);
    } else {
        inet_ntop(AF_INET6, addr->data(), shown, sizeof shown);
    }
    return shown;
}

std::optional<AddressPrefix> address_parseprefix(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    // A zone belongs to a visitor's address as the server saw it, not to
    // an entry of the list.
    if (host.find('%') != std::string::npos) return std::nullopt;
    std::optional<Address> addr = address_parse(host);
    if (!addr) return std::nullopt;
    const bool ipv4 = host.find(':') == std::string::npos;
    AddressPrefix prefix;
    prefix.addr = *addr;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        const int most = ipv4 ? kIpv4Bits : kIpv6Bits;
        if (!_address_digits(bits) || bits.size() > 3 || util_tolong(bits) > most) return std::nullopt;
        prefix.bits = static_cast<int>(util_tolong(bits)) + (ipv4 ? kMappedBits : 0);
    }
    return prefix;
}

bool address_matches(const AddressPrefix& prefix, const Address& addr) {
    const int whole = prefix.bits / 8;
    if (std::memcmp(prefix.addr.data(), addr.data(), static_cast<std::size_t>(whole)) != 0) return false;
    const int rest = prefix.bits % 8;
    if (rest == 0) return true;
    const unsigned mask = (0xffu << (8 - rest)) & 0xffu;
    return ((prefix.addr[static_cast<std::size_t>(whole)] ^ addr[static_cast<std::size_t>(whole)]) & mask) == 0;
}

}  // namespace vorn
