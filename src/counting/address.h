// SPDX-License-Identifier: GPL-3.0-or-later
// Internet addresses as the counting rules read them: the visitor's
// REMOTE_ADDR, and the entries of IGNORE_ADDR.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// An IPv6 address in network byte order; IPv4 a.b.c.d is ::ffff:a.b.c.d.
using Address = std::array<unsigned char, 16>;

// An address and how many of its leading bits another must share to lie
// in it (an IPv4 /24 is 120 bits here).
struct AddressPrefix {
    Address addr{};
    int bits = 128;
};

// An address as REMOTE_ADDR gives it: IPv4, or IPv6 with or without its
// zone ("fe80::1%eth0", the zone dropped: it names an interface of the
// server, not part of the address). nullopt when it is none.
std::optional<Address> address_parse(const std::string& text);

// The one text of an address however the web server wrote it: an IPv4
// address mapped into IPv6 (::ffff:1.2.3.4) as the IPv4 address, IPv6 in
// its canonical form (lower case, the longest run of zeros shortened), no
// zone. A text that is no address stays as it is.
std::string address_canonical(const std::string& text);

// One IGNORE_ADDR entry: "ADDRESS" or "ADDRESS/BITS" (at most 32 for IPv4,
// 128 for IPv6), without a zone; nullopt when it is none.
std::optional<AddressPrefix> address_parseprefix(const std::string& text);

// True when `addr` lies in `prefix`.
bool address_matches(const AddressPrefix& prefix, const Address& addr);

// True when `addr` lies in one of `prefixes`.
bool address_matchesany(const std::vector<AddressPrefix>& prefixes, const Address& addr);

// The headers a proxy names the client it forwards in.
struct Forwarded {
    std::optional<std::string> x_forwarded_for;  // X-Forwarded-For: "client, proxy1, proxy2"
    std::optional<std::string> forwarded;        // Forwarded: "for=client;proto=https, for=proxy1"
};

// The address of the visitor behind the proxies of `trusted` (canonical,
// as address_canonical): `remote` itself when it is no trusted proxy or
// the request names no client; otherwise the rightmost address of
// X-Forwarded-For that is not itself a trusted proxy, or, without that
// header, the same of Forwarded's for= parameters (the leftmost when every
// one is trusted). An entry may carry a port ("192.0.2.1:5000",
// "[2001:db8::1]:5000"). A header with an entry that is no address (an
// obfuscated or "unknown" node, garbage) names nobody: `remote` then.
std::string address_visitor(const std::string& remote, const Forwarded& headers,
                            const std::vector<AddressPrefix>& trusted);

}  // namespace vorn
