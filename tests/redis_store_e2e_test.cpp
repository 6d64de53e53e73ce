// SPDX-License-Identifier: GPL-3.0-or-later
// The counter on a Redis server through the CGI: what only a server brings
// (a counter is a name in its set, sites share it by their prefixes and
// their counting rules) and a clear answer within about a second when the
// server is unreachable, stalls, refuses the password or goes away. What
// both stores do alike is in store_test.cpp.
#include <hiredis/hiredis.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"
#include "store/redis.h"
#include "redis_server.h"

namespace vorn::test {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A site whose conf/vc.conf points at the server.
void use_redis(const TempSite& site, const std::string& addr, const std::string& extra = "") {
    site.write("conf/vc.conf", site.read("conf/vc.conf") + "STORE = redis\nREDIS_ADDR = " + addr + "\n" + extra);
}

class RedisStoreE2E : public testing::Test {
protected:
    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << "redis-server is not installed";
        use_redis(site, server.socket());
        direct.emplace(server.socket());
        direct->plant("home", {});
    }
    RedisServer server;
    TempSite site;
    std::optional<RedisClient> direct;
};

TEST_F(RedisStoreE2E, CounterThatIsNotThereIsRefusedAndNotCreated) {
    RunResult r = run_cgi(site, get("vdb=other"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_error_image(r.out, "Counter (other) not found in redis (" + server.socket() + ")"))
        << error_text(r.out).value_or("");
    EXPECT_FALSE(direct->exists("other"));
    // The prefix keeps sites apart on one server.
    site.write("conf/vc.conf", site.read("conf/vc.conf") + "REDIS_PREFIX = othersite:\n");
    EXPECT_EQ(run_cgi(site, get("vdb=home")).status, 1);
}

// Failures answer within about a second, with what went wrong, and write
// nothing.
TEST_F(RedisStoreE2E, UnreachableOrRefusingServerIsAnsweredAtOnce) {
    server.stop();
    auto start = Clock::now();
    RunResult r = run_cgi(site, get("vdb=home"));
    EXPECT_LT(seconds_since(start), 1.5);
    EXPECT_EQ(r.status, 1);
    const std::string text = error_text(r.out).value_or("");
    EXPECT_EQ(text.rfind("Redis error. ", 0), 0u) << text;

    TempSite tcp;
    use_redis(tcp, "127.0.0.1:1");
    start = Clock::now();
    r = run_cgi(tcp, get("vdb=home&mode=stat"));
    EXPECT_LT(seconds_since(start), 1.5);
    EXPECT_TRUE(is_error_image(r.out, "Redis error. Connection refused (127.0.0.1:1)")) << error_text(r.out).value_or("");
}

// A server that accepts the connection but answers nothing (stopped with
// SIGSTOP) is given up after the reply time-out, not waited for.
TEST_F(RedisStoreE2E, StalledServerIsGivenUpWithinASecond) {
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    const auto start = Clock::now();
    RunResult r = run_cgi(site, get("vdb=home"));
    const double waited = seconds_since(start);
    kill(server.pid(), SIGCONT);
    EXPECT_LT(waited, 2.5);
    EXPECT_GE(waited, 0.9);
    EXPECT_EQ(r.status, 1);
    const std::string text = error_text(r.out).value_or("");
    EXPECT_EQ(text.rfind("Redis error. ", 0), 0u) << text;
    EXPECT_TRUE(direct->records("home").empty());
}

// The server goes away in the middle of a run of visits: every visit is a
// picture or a Redis error image, and each picture is one counted visit
// (a visit is one step on the server, never half of one).
TEST_F(RedisStoreE2E, ServerStoppedInTheMiddleOfARun) {
    std::vector<Child> visits;
    int pictures = 0, errors = 0;
    for (int i = 0; i < 60; ++i) {
        visits.push_back(start_cgi(site, get("vdb=home")));
        if (i == 30) {
            // What the server holds now, then the server is gone.
            server.stop(true);
        }
    }
    for (Child& c : visits) {
        RunResult r = finish_program(c);
        if (r.status == 0) {
            EXPECT_TRUE(decode_answer(r.out).ok);
            ++pictures;
        } else {
            EXPECT_EQ(r.status, 1);
            const std::string text = error_text(r.out).value_or("");
            EXPECT_EQ(text.rfind("Redis error. ", 0), 0u) << text;
            ++errors;
        }
    }
    EXPECT_GT(errors, 0);
    EXPECT_LE(pictures, 31);
}

// Two web servers' sites on one Redis: a visitor counted on one is a repeat
// on the other, and ignored addresses and HEAD count nowhere.
TEST_F(RedisStoreE2E, CountingRulesHoldAcrossHosts) {
    const std::string rules = "REPEAT_MINUTES = 30\nIGNORE_ADDR = 192.0.2.0/24\n";
    site.write("conf/vc.conf", site.read("conf/vc.conf") + rules);
    TempSite other;
    use_redis(other, server.socket(), rules);
    Request visitor = get("vdb=home");
    visitor.extra_env["HTTP_USER_AGENT"] = "Mozilla/5.0 (X11; Linux x86_64) Firefox/128.0";
    ASSERT_EQ(run_cgi(site, visitor).status, 0);
    const RunResult repeat = run_cgi(other, visitor);
    EXPECT_EQ(repeat.status, 0);
    Request head = visitor;
    head.method = "HEAD";
    run_cgi(other, head);
    Request ignored = visitor;
    ignored.extra_env["REMOTE_ADDR"] = "192.0.2.9";
    run_cgi(site, ignored);
    EXPECT_EQ(direct->records("home").at("totcnt"), "1");
    // Another visitor counts, on either host.
    visitor.extra_env["HTTP_USER_AGENT"] = "Mozilla/5.0 (Windows NT 10.0) Chrome/131.0";
    EXPECT_EQ(run_cgi(other, visitor).status, 0);
    EXPECT_EQ(direct->records("home").at("totcnt"), "2");
    // What is kept of a visitor: a hash under the day's salt, expiring.
    const std::vector<std::string> keys = direct->array({"KEYS", "vorncounter:{home}v:*"});
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].find("Firefox"), std::string::npos);
    const long ttl = util_tolong(direct->run({"TTL", keys[0]}).value_or("0"));
    EXPECT_GT(ttl, 0);
    EXPECT_LE(ttl, 1800);
}

TEST(RedisStorePassword, WrongOrMissingPasswordIsNamedAndTheRightOneWorks) {
    RedisServer server(RedisServer::Options{false, "s3cret-pass"});
    if (!server.running()) GTEST_SKIP() << "redis-server is not installed";
    RedisClient direct(server.socket(), "s3cret-pass");
    direct.plant("home", {});
    TempSite site;
    site.write("conf/secret", "wrong\n");
    use_redis(site, server.socket(), "REDIS_PASSWORD_FILE = conf/secret\n");
    RunResult r = run_cgi(site, get("vdb=home"));
    EXPECT_EQ(r.status, 1);
    std::string text = error_text(r.out).value_or("");
    EXPECT_EQ(text.rfind("Redis error. WRONGPASS", 0), 0u) << text;
    EXPECT_EQ(text.find("wrong"), text.rfind("wrong")) << "the password must not be shown: " << text;

    site.write("conf/secret", "s3cret-pass\n");
    r = run_cgi(site, get("vdb=home"));
    EXPECT_EQ(r.status, 0) << error_text(r.out).value_or("");
    EXPECT_EQ(direct.records("home").at("totcnt"), "1");

    fs::remove(site.path("conf/secret"));
    r = run_cgi(site, get("vdb=home"));
    EXPECT_TRUE(is_error_image(r.out, "Configuration error. REDIS_PASSWORD_FILE cannot be read (No such file or directory)"))
        << error_text(r.out).value_or("");
}

TEST(RedisStoreConfig, BadStoreKeysAreNamed) {
    TempSite site;
    const std::string conf = site.read("conf/vc.conf");
    site.write("conf/vc.conf", conf + "STORE = mysql\n");
    EXPECT_TRUE(is_error_image(run_cgi(site, get("vdb=home")).out,
                               "Configuration error. STORE must be gdbm or redis, not 'mysql' (conf/vc.conf)"));
    for (const char* addr : {"localhost", "[::1]", "host:0", "host:99999", ":6379"}) {
        site.write("conf/vc.conf", conf + "STORE = redis\nREDIS_ADDR = " + addr + "\n");
        EXPECT_TRUE(is_error_image(run_cgi(site, get("vdb=home")).out,
                                   std::string("Configuration error. REDIS_ADDR: '") + addr +
                                       "' is not HOST:PORT, [IPv6]:PORT or a socket path (conf/vc.conf)"))
            << addr;
    }
    // Date and time need no store.
    EXPECT_EQ(run_cgi(site, get("mode=date")).status, 0);
}

}  // namespace
}  // namespace vorn::test
