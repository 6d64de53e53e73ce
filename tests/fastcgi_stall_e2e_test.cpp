// SPDX-License-Identifier: GPL-3.0-or-later
// A worker's clients that stall, and the signals of the process managers:
// a connection that says nothing, parameters cut off half way, a POST whose
// body never comes. None of them may hold the worker, spin it, count a
// visit, or keep it from ending; SIGHUP starts the program anew on the same
// socket.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "base/util.h"
#include "fastcgi_client.h"
#include "harness.h"

namespace vorn::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How much of a POST visit (CONTENT_LENGTH 100) the stalled client sends.
enum class Sent { kNothing, kHalfTheParameters, kNoBody };

struct Stall {
    const char* name;
    Sent sent;
    int signal;
};

std::string stalled_bytes(Sent sent) {
    Request visit = get("vdb=web");
    visit.method = "POST";
    visit.content_length = "100";
    const std::string params = fastcgi_request_bytes(request_variables(visit), "");
    // Without the stdin stream's empty record, and without its parameters'
    // end: the begin record (16 bytes), then the parameters.
    const std::string no_body = params.substr(0, params.size() - 8);
    switch (sent) {
        case Sent::kNothing: return "";
        case Sent::kHalfTheParameters: return no_body.substr(0, 16 + (no_body.size() - 16) / 2);
        case Sent::kNoBody: return no_body;
    }
    return "";
}

void send_all(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Waits up to `limit` for the worker to end; true when it did.
bool ends_within(FastcgiWorker& worker, milliseconds limit) {
    const auto until = steady_clock::now() + limit;
    while (worker.alive()) {
        if (steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

void PrintTo(const Stall& p, std::ostream* os) { *os << p.name; }

std::string total(const TempSite& site) {
    const auto records = db_texts(site.path("save/web.db"));
    const auto it = records.find("totcnt");
    return it == records.end() ? "none" : it->second;
}

class FastcgiStall : public ::testing::TestWithParam<Stall> {};

// The stalled client holds its connection while the next one is answered
// at once; the worker spends no processor time on stalled clients, and an
// end signal that comes while one has just connected ends the worker
// within a second or two, also when the clients leave only after it.
TEST_P(FastcgiStall, NextClientIsAnsweredAndTheSignalEndsTheWorker) {
    TempSite site;
    site.create_counter("web");
    FastcgiWorker worker(site);
    const std::string bytes = stalled_bytes(GetParam().sent);
    UniqueFd first(worker.connect_socket());
    ASSERT_TRUE(first);
    send_all(first.get(), bytes);

    const auto asked = steady_clock::now();
    const FastcgiReply next = worker.ask(get("mode=date&style=b"));
    EXPECT_TRUE(decode_answer(next.out).ok);
    EXPECT_LT(steady_clock::now() - asked, milliseconds(1000)) << "the next client waited for the stalled one";

    UniqueFd second(worker.connect_socket());
    ASSERT_TRUE(second);
    send_all(second.get(), bytes);
    std::this_thread::sleep_for(milliseconds(100));
    const long ticks = worker.cpu_ticks();
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_LE(worker.cpu_ticks() - ticks, 2) << "the worker spent processor time on stalled clients";

    kill(worker.pid(), GetParam().signal);
    std::this_thread::sleep_for(milliseconds(100));
    first.reset();
    second.reset();
    const long before_end = worker.cpu_ticks();
    EXPECT_TRUE(ends_within(worker, milliseconds(2000))) << "the worker did not end on its signal";
    if (worker.alive()) {
        EXPECT_LE(worker.cpu_ticks() - before_end, 20) << "the worker spins";
    }
    EXPECT_EQ(worker.stop(), 0);
    EXPECT_EQ(worker.err(), "");
    EXPECT_EQ(total(site), "none") << "a request that never arrived whole was counted";
}

INSTANTIATE_TEST_SUITE_P(Clients, FastcgiStall,
                         ::testing::Values(Stall{"silent_then_term", Sent::kNothing, SIGTERM},
                                           Stall{"half_parameters_then_int", Sent::kHalfTheParameters, SIGINT},
                                           Stall{"post_without_body_then_usr1", Sent::kNoBody, SIGUSR1},
                                           Stall{"post_without_body_then_term", Sent::kNoBody, SIGTERM}),
                         [](const auto& info) { return std::string(info.param.name); });

// A request that does not arrive whole within its bound is dropped: the
// worker closes the connection and counts nothing.
TEST(FastcgiStallBound, RequestNotWholeWithinItsBoundIsDropped) {
    TempSite site;
    site.create_counter("web");
    FastcgiWorker worker(site);
    UniqueFd stalled(worker.connect_socket());
    ASSERT_TRUE(stalled);
    send_all(stalled.get(), stalled_bytes(Sent::kNoBody));
    timeval wait{14, 0};
    setsockopt(stalled.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const auto start = steady_clock::now();
    char byte = 0;
    EXPECT_EQ(::recv(stalled.get(), &byte, 1, 0), 0) << "the worker neither answered nor closed";
    EXPECT_GE(steady_clock::now() - start, std::chrono::seconds(9));
    EXPECT_EQ(total(site), "none");
    EXPECT_TRUE(decode_answer(worker.ask(get("vdb=web")).out).ok);
    EXPECT_EQ(total(site), "1");
    EXPECT_EQ(worker.stop(), 0);
}

std::string exe_of(pid_t pid) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

// SIGHUP: the worker answers the request it was receiving, then runs its
// program file anew in the same process on the same socket, so a program
// replaced by an upgrade takes over without a connection refused. A
// program file that is gone leaves the old one serving.
TEST(FastcgiRestart, HangupStartsTheProgramFileAnewOnTheSameSocket) {
    TempSite site;
    site.create_counter("web");
    const fs::path program = site.path("bin/vorncounter");
    fs::create_directories(program.parent_path());
    fs::copy_file(kVorncounter, program);
    FastcgiWorker worker(site, program.string());
    ASSERT_TRUE(decode_answer(worker.ask(get("vdb=web")).out).ok);

    // An upgrade puts a new file in the program's place.
    fs::copy_file(kVorncounter, program.string() + ".new");
    fs::rename(program.string() + ".new", program);
    ASSERT_NE(exe_of(worker.pid()).find("(deleted)"), std::string::npos);

    // A visit arriving while the signal comes is answered, and so is one
    // on a connection accepted just before it whose bytes come after.
    UniqueFd arriving(worker.connect_socket());
    UniqueFd fresh(worker.connect_socket());
    const std::string visit = fastcgi_request_bytes(request_variables(get("vdb=web")), "");
    send_all(arriving.get(), visit.substr(0, visit.size() - 8));
    std::this_thread::sleep_for(milliseconds(100));
    kill(worker.pid(), SIGHUP);
    std::this_thread::sleep_for(milliseconds(50));
    send_all(arriving.get(), visit.substr(visit.size() - 8));
    send_all(fresh.get(), visit);
    timeval wait{5, 0};
    for (const UniqueFd* fd : {&arriving, &fresh}) {
        setsockopt(fd->get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char head[8];
        EXPECT_EQ(::recv(fd->get(), head, sizeof head, MSG_WAITALL), 8) << "a visit on its way got no answer";
    }

    const auto until = steady_clock::now() + std::chrono::seconds(5);
    while (exe_of(worker.pid()).find("(deleted)") != std::string::npos && steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(exe_of(worker.pid()), program.string()) << "the worker runs the old program still";
    EXPECT_TRUE(decode_answer(worker.ask(get("vdb=web")).out).ok);
    EXPECT_EQ(total(site), "4");

    // The program removed: the worker says so and serves on.
    fs::remove(program);
    kill(worker.pid(), SIGHUP);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(decode_answer(worker.ask(get("vdb=web")).out).ok);
    EXPECT_EQ(worker.stop(), 0);
    EXPECT_NE(worker.err().find("cannot start " + program.string() + " again"), std::string::npos) << worker.err();
}

}  // namespace
}  // namespace vorn::test
