// SPDX-License-Identifier: GPL-3.0-or-later
#include "counting/address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>

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

// The one text of an address: IPv4 (mapped or not) as a.b.c.d, IPv6 in
// its canonical form.
std::string _address_text(const Address& addr) {
    char shown[INET6_ADDRSTRLEN] = "";
    if (std::memcmp(addr.data(), kMapped, sizeof kMapped) == 0) {
        inet_ntop(AF_INET, addr.data() + sizeof kMapped, shown, sizeof shown);
    } else {
        inet_ntop(AF_INET6, addr.data(), shown, sizeof shown);
    }
    return shown;
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
    return addr ? _address_text(*addr) : text;
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

bool address_matchesany(const std::vector<AddressPrefix>& prefixes, const Address& addr) {
    for (const AddressPrefix& prefix : prefixes) {
        if (address_matches(prefix, addr)) return true;
    }
    return false;
}

namespace {

// Most hops of a forwarding header read: a longer chain names nobody.
constexpr std::size_t kMaxHops = 64;

// `text` without the blanks around it.
std::string_view _address_trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// One node of a forwarding header: an address, IPv6 in brackets, either
// with a port after it. nullopt for anything else.
std::optional<Address> _address_node(std::string_view node) {
    std::string host;
    if (!node.empty() && node.front() == '[') {
        const std::size_t close = node.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view after = node.substr(close + 1);
        if (!after.empty() && (after.front() != ':' || !_address_digits(std::string(after.substr(1))))) {
            return std::nullopt;
        }
        host = node.substr(1, close - 1);
        if (host.find(':') == std::string::npos) return std::nullopt;
    } else if (std::count(node.begin(), node.end(), ':') == 1) {
        const std::size_t colon = node.find(':');
        if (!_address_digits(std::string(node.substr(colon + 1)))) return std::nullopt;
        host = node.substr(0, colon);
        if (host.find('.') == std::string::npos) return std::nullopt;
    } else {
        host = node;
    }
    if (host.empty() || host.find('%') != std::string::npos) return std::nullopt;
    return address_parse(host);
}

// The hops of an X-Forwarded-For value, leftmost first; false when one is
// no address.
bool _address_xff(std::string_view value, std::vector<Address>& hops) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        const std::optional<Address> hop = _address_node(_address_trim(value.substr(start, comma - start)));
        if (!hop || hops.size() == kMaxHops) return false;
        hops.push_back(*hop);
        if (comma == std::string_view::npos) return true;
        start = comma + 1;
    }
}

// The for= nodes of a Forwarded value (RFC 7239), leftmost first: elements
// separated by commas, pairs by semicolons, a value a token or a quoted
// string. False when an element names no address.
bool _address_forwarded(std::string_view value, std::vector<Address>& hops) {
    std::size_t at = 0;
    while (at <= value.size()) {
        std::optional<Address> hop;
        bool named = false;
        // One element: its pairs up to a comma outside quotes.
        while (at < value.size() && value[at] != ',') {
            const std::size_t eq = value.find('=', at);
            if (eq == std::string_view::npos) return false;
            std::string name(_address_trim(value.substr(at, eq - at)));
            for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            at = eq + 1;
            while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) ++at;
            std::string text;
            if (at < value.size() && value[at] == '"') {
                for (++at; at < value.size() && value[at] != '"'; ++at) {
                    if (value[at] == '\\' && at + 1 < value.size()) ++at;
                    text.push_back(value[at]);
                }
                if (at == value.size()) return false;
                ++at;
            } else {
                const std::size_t end = value.find_first_of(";,", at);
                text = _address_trim(value.substr(at, end - at));
                at = end == std::string_view::npos ? value.size() : end;
            }
            if (name == "for") {
                if (named) return false;
                named = true;
                hop = _address_node(_address_trim(text));
            }
            while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) ++at;
            if (at < value.size() && value[at] == ';') ++at;
        }
        if (!hop || hops.size() == kMaxHops) return false;
        hops.push_back(*hop);
        if (at >= value.size()) return true;
        ++at;
    }
    return true;
}

}  // namespace

std::string address_visitor(const std::string& remote, const Forwarded& headers,
                            const std::vector<AddressPrefix>& trusted) {
    const std::optional<Address> proxy = address_parse(remote);
    if (!proxy || trusted.empty() || !address_matchesany(trusted, *proxy)) return address_canonical(remote);
    std::vector<Address> hops;
    const bool named = headers.x_forwarded_for ? _address_xff(*headers.x_forwarded_for, hops)
                       : headers.forwarded     ? _address_forwarded(*headers.forwarded, hops)
                                               : false;
    if (!named || hops.empty()) return address_canonical(remote);
    for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
        if (!address_matchesany(trusted, *hop)) return _address_text(*hop);
    }
    return _address_text(hops.front());
}

}  // namespace vorn
