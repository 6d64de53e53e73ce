// SPDX-License-Identifier: GPL-3.0-or-later
// The worker's file cache on its own: what it keeps stays within its
// budget and is accounted for exactly, also when an entry read while its
// file was new settles, and its file then changes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "base/filecache.h"
#include "harness.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// The value of a file is its text; it costs its length.
std::shared_ptr<const std::string> text_of(const FileRead& read, std::size_t& cost) {
    cost = read.bytes.size();
    return std::make_shared<const std::string>(read.bytes);
}

std::string value(FileCache<std::string>& cache, const fs::path& path) {
    const auto found = cache.get(path.string(), text_of);
    return found.value ? *found.value : "(none, errno " + std::to_string(found.error) + ")";
}

TEST(FileCache, SettledEntriesKeepTheirAccountsWhenTheirFilesChange) {
    TempSite dir;  // a scratch directory
    const fs::path a = dir.root() / "a", b = dir.root() / "b";
    write_file(a, std::string(100, 'a'));
    write_file(b, std::string(100, 'b'));
    FileCache<std::string> cache(1000, 1 << 20);
    EXPECT_EQ(value(cache, a), std::string(100, 'a'));
    EXPECT_EQ(value(cache, b), std::string(100, 'b'));
    // Read while new, each also keeps its bytes to compare.
    const std::size_t fresh = cache.used();
    EXPECT_EQ(fresh, 2 * (100 + 100 + a.string().size()));

    // Once the files are older than their times' resolution, the next use
    // lets the bytes go.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(value(cache, a), std::string(100, 'a'));
    EXPECT_EQ(value(cache, b), std::string(100, 'b'));
    EXPECT_EQ(cache.used(), 2 * (100 + a.string().size()));

    // A changed file and a deleted one: their entries go, whole.
    write_file(a, "A");
    fs::remove(b);
    EXPECT_EQ(value(cache, a), "A");
    EXPECT_EQ(value(cache, b), "(none, errno 2)");
    EXPECT_EQ(cache.used(), 1 + 1 + a.string().size());

    // More than the budget holds: the least recently used go first, and the
    // account never passes the budget.
    for (int i = 0; i < 20; ++i) {
        const fs::path f = dir.root() / ("f" + std::to_string(i));
        write_file(f, std::string(150, 'x'));
        EXPECT_EQ(value(cache, f), std::string(150, 'x'));
        EXPECT_LE(cache.used(), 1000u);
    }
    // A value larger than the whole budget is given, and not kept.
    const fs::path big = dir.root() / "big";
    write_file(big, std::string(2000, 'y'));
    const std::size_t before = cache.used();
    EXPECT_EQ(value(cache, big).size(), 2000u);
    EXPECT_EQ(cache.used(), before);
}

}  // namespace
}  // namespace vorn::test
