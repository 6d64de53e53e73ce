// SPDX-License-Identifier: GPL-3.0-or-later
// The journal reader meets whatever an interrupted writer left: a journal
// it takes whole must be exactly what the writer writes for those entries.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/util.h"
#include "fuzz_check.h"
#include "gdbm/journal.h"

namespace {

// A scratch counter path of this process: its journal is PATH-journal.
std::string scratch_path(const char* stem) {
    std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    name += std::string("/vorn-") + stem + "-" + std::to_string(getpid());
    return name;
}

std::string read_file(const std::string& path) {
    vorn::FilePtr f = vorn::util_fopen(path, "rb");
    FUZZ_CHECK(f != nullptr);
    return vorn::util_readall(f.get(), std::size_t{1} << 30).value_or("");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string left = scratch_path("left"), again = scratch_path("again");
    {
        vorn::FilePtr f = vorn::util_fopen(vorn::journal_path(left), "wb");
        FUZZ_CHECK(f != nullptr);
        FUZZ_CHECK(std::fwrite(data, 1, size, f.get()) == size);
    }
    vorn::Journal journal;
    if (vorn::journal_read(left, journal) == vorn::JournalState::kComplete) {
        FUZZ_CHECK(vorn::journal_write(again, journal, getuid(), getgid()).error == 0);
        FUZZ_CHECK(read_file(vorn::journal_path(again)) == std::string(reinterpret_cast<const char*>(data), size));
    }
    vorn::journal_remove(left);
    vorn::journal_remove(again);
    return 0;
}
