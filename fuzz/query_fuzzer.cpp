// Request decoding: the splitting of a raw query into pieces and pairs,
// the escape decoding, the trimming, and the whole decoder run on the
// query string as a web server would set it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "util.h"

namespace {

// Splits `raw` the way the decoder does and checks every step; returns the
// number of pairs.
int split_and_check(std::string raw) {
    int pairs = 0;
    while (!raw.empty()) {
        const std::size_t before = raw.size();
        std::string piece = vorn::_util_makeword(raw, '&');
        // Every step must consume input, or the decoder would loop for ever.
        FUZZ_CHECK(raw.size() < before);
        FUZZ_CHECK(piece.size() + raw.size() < before || raw.empty());
        FUZZ_CHECK(piece.find('&') == std::string::npos);

        std::string name = vorn::_util_makeword(piece, '=');
        FUZZ_CHECK(name.find('=') == std::string::npos);
        for (std::string* text : {&name, &piece}) {
            const std::size_t encoded = text->size();
            vorn::_util_decodequery(*text);
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

    // An environment value ends at its first zero byte.
    const std::string query = raw.substr(0, raw.find('\0'));
    setenv("QUERY_STRING", query.c_str(), 1);
    unsetenv("REQUEST_METHOD");
    const int pairs = vorn::_util_decoder();
    FUZZ_CHECK(pairs == split_and_check(query));
    // A second decode while the list exists does nothing.
    FUZZ_CHECK(vorn::_util_decoder() == (pairs > 0 ? -1 : 0));
    for (const char* name : {"vdb", "digit", "mode", "style", "ago", "when", "date", "cntlen"}) {
        if (auto value = vorn::util_getvalue(name)) FUZZ_CHECK(value->size() <= query.size());
    }
    vorn::util_entryfree();
    return 0;
}
