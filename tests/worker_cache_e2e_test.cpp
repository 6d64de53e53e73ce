// SPDX-License-Identifier: GPL-3.0-or-later
// What a persistent worker keeps between requests (the decoded pictures,
// the configuration, the robot list) follows its file: every change to a
// file shows in the next answer, as it does in a CGI run, which reads the
// file anew. And what it keeps stays within its bound.
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "base/util.h"
#include "fastcgi_client.h"
#include "harness.h"

namespace vorn::test {
namespace {

// How a file changes between two requests.
enum class Change {
    kEditedInPlace,  // the same file rewritten, same size, its modification time put back
    kReplaced,       // another file renamed over it
    kDeleted,
    kReplacedOnceSettled,  // replaced after the worker has used it again once it is older than its times' resolution
};

// A file the worker keeps a value of, the request whose answer shows it,
// and other contents of the same size that give another answer.
struct Kept {
    std::string name;
    std::string file;
    Request req;
    std::function<std::string(const std::string&)> other;
};
void PrintTo(const Kept& kept, std::ostream* out) { *out << kept.name; }

// The GIF `gif` with every colour of its global colour table inverted: the
// same size, another picture.
std::string inverted_colours(const std::string& gif) {
    std::string out = gif;
    const auto packed = static_cast<unsigned char>(out.at(10));
    if ((packed & 0x80) == 0) ADD_FAILURE() << "the picture has no global colour table";
    const std::size_t size = 3u << ((packed & 0x07) + 1);
    for (std::size_t i = 13; i < 13 + size; ++i) out[i] = static_cast<char>(~out[i]);
    return out;
}

// `text` with the first `from` replaced by `to`, of the same length.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos || from.size() != to.size()) ADD_FAILURE() << "no '" << from << "' to replace";
    else text.replace(at, from.size(), to);
    return text;
}

Request from_curl(const std::string& query) {
    Request r = get(query);
    r.extra_env["HTTP_USER_AGENT"] = "curl/8.0";
    return r;
}

std::vector<Kept> kept_files() {
    return {
        {"digit_picture", "image/digits/d/0.gif", get("vdb=web&ago=0"), inverted_colours},
        {"chart_background", "image/resource/imgday.rc", get("vdb=web&mode=stat&when=day&date=2001/03/07"),
         inverted_colours},
        {"configuration", "conf/vc.conf", get("vdb=web&ago=0"),
         [](const std::string& text) { return replaced(text, "DEFAULT_CNTLEN = 6", "DEFAULT_CNTLEN = 8"); }},
        // The robot list lets curl be counted once it names wget instead.
        {"robot_list", "conf/bots.txt", from_curl("vdb=web"),
         [](const std::string& text) { return replaced(text, "curl", "wget"); }},
    };
}

// A site with the counter "web" and the robot rule on, curl its only robot.
void prepare(const TempSite& site) {
    site.create_counter("web");
    store_records(site.path("save/web.db"), {{"2001/03/07/09", "4"}, {"totcnt", "22"}});
    site.write("conf/vc.conf", site.read("conf/vc.conf") + "IGNORE_BOTS = yes\n");
    site.write("conf/bots.txt", "# robots\ncurl\n");
}

// Rewrites the file `path` with `bytes` (of its size) through the same
// inode, and puts its modification time back: only its change time and its
// bytes tell the edit.
void edit_in_place(const fs::path& path, const std::string& bytes) {
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    ASSERT_EQ(static_cast<std::size_t>(before.st_size), bytes.size());
    UniqueFd fd(open(path.c_str(), O_WRONLY));
    ASSERT_TRUE(fd);
    ASSERT_EQ(pwrite(fd.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(futimens(fd.get(), times), 0);
}

void apply(Change change, const TempSite& site, const Kept& kept) {
    const fs::path path = site.path(kept.file);
    const std::string other = kept.other(site.read(kept.file));
    switch (change) {
        case Change::kEditedInPlace: return edit_in_place(path, other);
        case Change::kReplaced:
            site.write(kept.file + ".new", other);
            fs::rename(site.path(kept.file + ".new"), path);
            return;
        case Change::kDeleted: fs::remove(path); return;
        case Change::kReplacedOnceSettled:
            return apply(Change::kReplaced, site, kept);
    }
}

class WorkerCache : public testing::TestWithParam<std::tuple<Kept, Change>> {};

// One worker answers the request, the file changes, the worker answers
// again: both answers are those of CGI runs in a twin site changed alike,
// and the second differs from the first.
TEST_P(WorkerCache, NextAnswerFollowsTheFile) {
    const auto& [kept, change] = GetParam();
    TempSite cgi_site, fcgi_site;
    prepare(cgi_site);
    prepare(fcgi_site);
    FastcgiWorker worker(fcgi_site);
    // Twice: the second answer comes from what the worker kept.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(worker.ask(kept.req).out, run_cgi(cgi_site, kept.req).out);
    const std::string before = run_cgi(cgi_site, kept.req).out;
    if (change == Change::kReplacedOnceSettled) std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    worker.ask(kept.req);
    apply(change, cgi_site, kept);
    apply(change, fcgi_site, kept);
    const RunResult cgi = run_cgi(cgi_site, kept.req);
    const FastcgiReply fcgi = worker.ask(kept.req);
    EXPECT_EQ(fcgi.out, cgi.out);
    EXPECT_EQ(fcgi.app_status, cgi.status);
    EXPECT_NE(cgi.out, before) << "the change shows in no answer";
    EXPECT_EQ(worker.stop(), 0);
    EXPECT_EQ(worker.err(), "");
}

std::string case_name(const testing::TestParamInfo<std::tuple<Kept, Change>>& info) {
    const char* changes[] = {"edited_in_place", "replaced", "deleted", "replaced_once_settled"};
    return std::get<0>(info.param).name + "_" + changes[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Files, WorkerCache,
                         testing::Combine(testing::ValuesIn(kept_files()),
                                          testing::Values(Change::kEditedInPlace, Change::kReplaced,
                                                          Change::kDeleted, Change::kReplacedOnceSettled)),
                         case_name);

// Digit sets of large pictures, asked for one after another: what the
// worker keeps of them stays within its bound (32 MiB) instead of growing
// with every set.
TEST(WorkerCacheBound, ManyDigitSetsKeepTheWorkerWithinItsBound) {
    constexpr int kSets = 100;
    constexpr int kSide = 1000;  // a 1 MB picture decoded, a few KB as a file
    TempSite site;
    site.create_counter("web");
    GdImage big(gdImageCreate(kSide, kSide));
    gdImageColorAllocate(big.get(), 0x20, 0x40, 0x80);
    const std::string gif = gif_encode(big.get());
    for (int i = 0; i < kSets; ++i) {
        fs::create_directories(site.path("image/digits/big" + std::to_string(i)));
        site.write("image/digits/big" + std::to_string(i) + "/0.gif", gif);
    }
    FastcgiWorker worker(site);
    const auto ask = [&](int set) {
        const FastcgiReply r = worker.ask(get("vdb=web&ago=0&cntlen=1&digit=big" + std::to_string(set)));
        ASSERT_TRUE(decode_answer(r.out).ok) << set;
    };
    for (int i = 0; i < 4; ++i) ASSERT_NO_FATAL_FAILURE(ask(i));
    const long start = worker.resident_kib();
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < kSets; ++i) ASSERT_NO_FATAL_FAILURE(ask(i));
    }
#if !defined(__SANITIZE_ADDRESS__)
    // The bound, and a few pictures' worth of a request's own work and of
    // the allocator's slack; kept without a bound the sets take 100 MB.
    EXPECT_LE(worker.resident_kib(), start + 32 * 1024 + 8 * 1024);
#else
    (void)start;  // the sanitizer's allocator keeps freed memory in quarantine
#endif
    EXPECT_EQ(worker.stop(), 0);
    EXPECT_EQ(worker.err(), "");
}

}  // namespace
}  // namespace vorn::test
