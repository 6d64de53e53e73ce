// SPDX-License-Identifier: GPL-3.0-or-later
// Build-time generator of the pictures an installation ships: the digit
// sets under <outdir>/digits/ and the three chart backgrounds under
// <outdir>/resource/. Every picture is drawn here; nothing is copied in.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "charts.h"
#include "digits.h"
#include "raster.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: imagegen <outdir>\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(out / "resource", ec);
    if (ec) vorn::imagegen::fail("cannot create " + (out / "resource").string() + ": " + ec.message());
    vorn::imagegen::write_digit_sets(out / "digits");
    vorn::imagegen::write_chart_backgrounds(out / "resource");
    return 0;
}
