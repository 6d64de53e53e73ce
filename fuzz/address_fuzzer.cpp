// SPDX-License-Identifier: GPL-3.0-or-later
// Addresses from the configuration and the request: IGNORE_ADDR entries,
// REMOTE_ADDR, the forwarding headers of trusted proxies and REDIS_ADDR. Any text must parse or be refused without a
// crash; a prefix never claims more bits than its address has, an address
// matches every prefix made of itself, and a Redis address that parses
// describes itself as a text that parses to the same address. Behind a
// trusted proxy the visitor is an address (the proxy's, or one the header
// names), never a text of the header that is none.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "counting/address.h"
#include "store/redis.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (std::optional<vorn::AddressPrefix> prefix = vorn::address_parseprefix(text)) {
        FUZZ_CHECK(prefix->bits >= 0 && prefix->bits <= 128);
        FUZZ_CHECK(vorn::address_matches(*prefix, prefix->addr));
    }
    if (std::optional<vorn::Address> addr = vorn::address_parse(text)) {
        vorn::AddressPrefix whole{*addr, 128};
        FUZZ_CHECK(vorn::address_matches(whole, *addr));
        // The canonical text is an address of its own canonical form.
        const std::string canonical = vorn::address_canonical(text);
        FUZZ_CHECK(vorn::address_parse(canonical) && vorn::address_canonical(canonical) == canonical);
    }
    const std::vector<vorn::AddressPrefix> trusted = {*vorn::address_parseprefix("10.0.0.0/8")};
    for (const vorn::Forwarded& headers : {vorn::Forwarded{text, std::nullopt}, vorn::Forwarded{std::nullopt, text}}) {
        const std::string visitor = vorn::address_visitor("10.1.2.3", headers, trusted);
        FUZZ_CHECK(vorn::address_parse(visitor) && vorn::address_canonical(visitor) == visitor);
    }
    if (std::optional<vorn::RedisAddress> address = vorn::redis_parseaddress(text)) {
        std::optional<vorn::RedisAddress> again = vorn::redis_parseaddress(vorn::redis_describe(*address));
        FUZZ_CHECK(again && again->host == address->host && again->port == address->port &&
                   again->socket == address->socket);
    }
    return 0;
}
