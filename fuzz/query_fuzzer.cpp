// SPDX-License-Identifier: GPL-3.0-or-later
// Request decoding: the splitting of a raw query into pieces and pairs,
// the escape decoding, the trimming, and the whole decoder run on the
// query string as a web server would set it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "base/util.h"

namespace {

// Splits `raw` the way the decoder does and checks every step; returns the
// number of pairs.
int split_and_check(std::string raw) {
    int pairs = 0;
    while (!raw.empty()) {
        const std::size_t before = raw.size();
        std::string piece = vorn::util_makeword(raw, '&');
        // Every step must consume input, or the decoder would loop for ever.
        FUZZ_CHECK(raw.size() < before);
        FUZZ_CHECK(piece.size() + raw.size() < before || raw.empty());
        FUZZ_CHECK(piece.find('&') == std::string::npos);

        std::string name = vorn::util_makeword(piece, '=');
        FUZZ_CHECK(name.find('=') == std::string::npos);
        for (std::string* text : {&name, &piece}) {
            const std::size_t encoded = text->size();
            vorn::util_decodequery(*text);
            FUZZ_CHECK(text->size() <= encoded);
            FUZZ_CHECK(text->find('\0') == std::string::npos);
            vorn::util_deletespace(*text);
            if (!text->empty()) {
                FUZZ_CHECK(!fuzz_is_blank(text->front()));
                FUZZ_CHECK(!fuzz_is_blank(text->back()));
            }
        }
        ++pairs;
    }
    return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    split_and_check(raw);

    // A request value ends at its first zero byte.
    const std::string query = raw.substr(0, raw.find('\0'));
    vorn::EntryList list;
    vorn::util_decodepairs(query, list);
    FUZZ_CHECK(static_cast<int>(list.size()) == split_and_check(query));
    for (const vorn::Entry& e : list) FUZZ_CHECK(e.name.size() + e.value.size() <= query.size());
    return 0;
}
