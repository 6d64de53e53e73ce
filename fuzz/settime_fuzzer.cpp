// The cutting of the chart's date text into year, month and day by
// position, and the month name and length that the chart takes from them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "statistics.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A request value ends at its first zero byte.
    std::string date(reinterpret_cast<const char*>(data), size);
    date.resize(date.find('\0') == std::string::npos ? date.size() : date.find('\0'));

    vorn::ST_TIME st;
    vorn::_statistics_settime(st, date);
    FUZZ_CHECK(st.year == date.substr(0, 4));
    FUZZ_CHECK(st.month == (date.size() > 6 ? date.substr(5, 2) : ""));
    FUZZ_CHECK(st.day == (date.size() > 9 ? date.substr(8, 2) : ""));

    const char* name = vorn::_statistics_returnmonth(st.month);
    FUZZ_CHECK(name != nullptr && std::strlen(name) > 0);
    const int days = vorn::_statistics_returnimonth(st.year, st.month);
    FUZZ_CHECK(days >= 28 && days <= 31);
    return 0;
}
