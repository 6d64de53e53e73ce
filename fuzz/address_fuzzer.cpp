// Addresses from the configuration and the request: IGNORE_ADDR entries,
// REMOTE_ADDR and REDIS_ADDR. Any text must parse or be refused without a
// crash; a prefix never claims more bits than its address has, an address
// matches every prefix made of itself, and a Redis address that parses
// describes itself as a text that parses to the same address.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "redis.h"
#include "rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (std::optional<vorn::AddrPrefix> prefix = vorn::_rules_parseprefix(text)) {
        FUZZ_CHECK(prefix->bits >= 0 && prefix->bits <= 128);
        FUZZ_CHECK(vorn::_rules_addrmatches(*prefix, prefix->addr));
    }
    if (std::optional<vorn::RulesAddr> addr = vorn::_rules_parseaddr(text)) {
        vorn::AddrPrefix whole{*addr, 128};
        FUZZ_CHECK(vorn::_rules_addrmatches(whole, *addr));
    }
    if (std::optional<vorn::RedisAddress> address = vorn::redis_parseaddress(text)) {
        std::optional<vorn::RedisAddress> again = vorn::redis_parseaddress(vorn::redis_describe(*address));
        FUZZ_CHECK(again && again->host == address->host && again->port == address->port &&
                   again->socket == address->socket);
    }
    return 0;
}
