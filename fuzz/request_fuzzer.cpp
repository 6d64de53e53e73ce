// SPDX-License-Identifier: GPL-3.0-or-later
// A request's parameters are parsed once, where the request is read: every
// parsed value must lie in the range the pictures rely on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/util.h"
#include "config/config.h"
#include "counting/compute.h"
#include "fuzz_check.h"
#include "vorncounter/vc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    vorn::EntryList params;
    vorn::util_decodepairs(raw.substr(0, raw.find('\0')), params);
    const vorn::CGICONFIG config = vorn::config_fill({});
    const vorn::VDB vdb = vorn::vc_parse(params, config, vorn::Clock(984323229));

    if (vdb.cntlen.value) FUZZ_CHECK(*vdb.cntlen.value >= 1 && *vdb.cntlen.value <= vorn::kMaxCntlen);
    FUZZ_CHECK(vdb.ago_total == (vdb.ago.text == "total"));
    if (vdb.ago.value) {
        FUZZ_CHECK(!vdb.ago_total);
        FUZZ_CHECK(*vdb.ago.value >= -vorn::kMaxAgoDays && *vdb.ago.value <= vorn::kMaxAgoDays);
    }
    const bool named = vdb.mode.text == "counter" || vdb.mode.text == "date" || vdb.mode.text == "time" ||
                       vdb.mode.text == "stat";
    FUZZ_CHECK(named == vdb.mode.value.has_value());
    if (vdb.style.value) {
        FUZZ_CHECK(vdb.mode.value == vorn::Mode::kDate || vdb.mode.value == vorn::Mode::kTime);
        FUZZ_CHECK(vdb.style.value->cells >= 1 && vdb.style.value->cells <= 10);
    }
    const bool when = vdb.when.text == "year" || vdb.when.text == "month" || vdb.when.text == "day";
    FUZZ_CHECK(when == vdb.when.value.has_value());
    return 0;
}
