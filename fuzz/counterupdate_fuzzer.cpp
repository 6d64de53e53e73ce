// SPDX-License-Identifier: GPL-3.0-or-later
// The count increment: for a text of decimal digits the answer must be the
// decimal successor (leading zeros kept where the width allows); for any
// other text it must neither crash nor grow by more than one character.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "store/increment.h"

namespace {

bool all_digits(const std::string& s) {
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Schoolbook successor of a digit text: "0999" gives "1000", "99" gives
// "100", "" gives "1".
std::string successor(std::string s) {
    for (std::size_t i = s.size(); i-- > 0;) {
        if (s[i] != '9') {
            ++s[i];
            return s;
        }
        s[i] = '0';
    }
    return "1" + s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string count(reinterpret_cast<const char*>(data), size);
    const std::string next = vorn::support_counterupdate(count);
    if (all_digits(count)) {
        FUZZ_CHECK(next == successor(count));
    } else {
        FUZZ_CHECK(next.size() <= count.size() + 1);
    }
    return 0;
}
