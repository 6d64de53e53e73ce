// The journal reader meets whatever lies beside a counter file: any bytes
// must be taken as no journal or as a journal that, written again, gives
// the very same bytes; never a crash or a read past the end.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    vorn::Journal journal;
    if (vorn::_journal_decode(bytes, journal) == vorn::JournalState::kComplete) {
        FUZZ_CHECK(vorn::_journal_encode(journal) == bytes);
    }
    return 0;
}
