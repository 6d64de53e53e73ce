// SPDX-License-Identifier: GPL-3.0-or-later
// The name/value file reader (the configuration file): the input is
// written to a file and read back with util_fdecoder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "base/util.h"

namespace {

const std::string& scratch_file() {
    static const std::string path = [] {
        // In memory where the machine has it: the reader opens the file
        // anew for every input. The name is reserved here and the file
        // removed after each input, since libFuzzer may end the process
        // without running exit handlers.
        std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        name += "/vorn-fdecoder-XXXXXX";
        int fd = mkstemp(name.data());
        FUZZ_CHECK(fd >= 0);
        close(fd);
        return name;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = scratch_file();
    {
        vorn::FilePtr f = vorn::util_fopen(path, "wb");
        FUZZ_CHECK(f != nullptr);
        FUZZ_CHECK(std::fwrite(data, 1, size, f.get()) == size);
    }
    vorn::EntryList list = vorn::util_fdecoder(path);

    // Every pair comes from its own line, and name and value are parts of
    // it, so together they never hold more bytes than the file.
    std::size_t bytes = 0;
    for (const auto& e : list) {
        bytes += e.name.size() + e.value.size();
        for (const std::string* text : {&e.name, &e.value}) {
            if (!text->empty()) {
                FUZZ_CHECK(!fuzz_is_blank(text->front()));
                FUZZ_CHECK(!fuzz_is_blank(text->back()));
            }
        }
        FUZZ_CHECK(e.name.find('=') == std::string::npos);
    }
    FUZZ_CHECK(bytes <= size);
    FUZZ_CHECK(list.size() <= size);

    // A lookup finds the first pair of a name.
    if (!list.empty()) {
        auto first = vorn::util_getvalue(list, list.front().name);
        FUZZ_CHECK(first && *first == list.front().value);
    }
    // The same text read from memory (the worker's cached configuration)
    // gives the same pairs.
    const vorn::EntryList again = vorn::util_decodelines(std::string(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(again.size() == list.size());
    for (std::size_t i = 0; i < again.size() && i < list.size(); ++i) {
        FUZZ_CHECK(again[i].name == list[i].name && again[i].value == list[i].value);
    }
    std::remove(path.c_str());
    return 0;
}
