// SPDX-License-Identifier: GPL-3.0-or-later
// Counts a site owner can trust, through the program on both stores and in
// both modes: each scenario is a site's rules (and a counter's own file)
// and a run of visits, each with the JSON answer it must get: counted, or
// left out for its reason. The count an answer shows rises exactly with
// the visits counted.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fastcgi_client.h"
#include "harness.h"
#include "redis_server.h"

namespace vorn::test {
namespace {

using json = nlohmann::json;

constexpr char kFirefox[] = "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0";
constexpr char kCamo[] = "github-camo (876de43e)";

// One request of a scenario and what its answer says: "counted", a
// reason, or "error: MESSAGE".
struct Step {
    std::string addr;
    std::optional<std::string> agent = kFirefox;
    std::map<std::string, std::string> headers = {};  // further CGI variables
    std::string query = "";                            // after "vdb=c&format=json"
    std::string expect = "counted";
};

struct Scenario {
    const char* name;
    std::string site;     // lines added to conf/vc.conf
    std::string counter;  // conf/counters/c.conf, none when empty
    std::vector<Step> steps;
};

const Scenario kScenarios[] = {
    {"rate_limit_whatever_the_agent", "RATE_LIMIT = 3/60\n", "",
     {{"192.0.2.1", "agent 1"}, {"192.0.2.1", "agent 2"}, {"192.0.2.1", "agent 3"},
      {"192.0.2.1", "agent 4", {}, "", "rate"}, {"::ffff:192.0.2.1", "agent 5", {}, "", "rate"},
      {"192.0.2.2", "agent 6"}}},
    // A repeat takes no step of the rate; a visit over the rate is not
    // remembered as a repeat.
    {"rate_before_repeat", "RATE_LIMIT = 2/60\nREPEAT_MINUTES = 30\n", "",
     {{"192.0.2.1", "x"}, {"192.0.2.1", "x", {}, "", "repeat"}, {"192.0.2.1", "y"},
      {"192.0.2.1", "z", {}, "", "rate"}, {"192.0.2.1", "z", {}, "", "rate"}}},
    {"rules_in_their_order", "IGNORE_ADDR = 192.0.2.9\nCOUNT_AGENTS = camo\nIGNORE_BOTS = yes\n", "",
     {{"192.0.2.9", "crawler", {}, "", "address"}, {"192.0.2.1", "crawler", {}, "", "agent"},
      {"192.0.2.1", std::nullopt, {}, "", "agent"}, {"192.0.2.1", "camo crawler", {}, "", "robot"},
      {"192.0.2.1", kCamo}, {"192.0.2.9", kCamo, {{"REQUEST_METHOD", "HEAD"}}, "", "head"},
      {"192.0.2.1", kCamo, {{"HTTP_SEC_PURPOSE", "prefetch;prerender"}}, "", "prefetch"}}},
    {"prefetch_headers", "", "",
     {{"192.0.2.1", kFirefox, {{"HTTP_SEC_PURPOSE", "prefetch"}}, "", "prefetch"},
      {"192.0.2.1", kFirefox, {{"HTTP_PURPOSE", "Prefetch"}}, "", "prefetch"},
      {"192.0.2.1", kFirefox, {{"HTTP_X_MOZ", "prefetch"}}, "", "prefetch"},
      {"192.0.2.1", kFirefox, {{"HTTP_SEC_PURPOSE", "prefetching"}}}, {"192.0.2.1"}}},
    // count=no and ago=N ask no rule: no rate step, no remembered visit.
    {"peek_and_past_take_no_step", "RATE_LIMIT = 1/60\nREPEAT_MINUTES = 30\n", "",
     {{"192.0.2.1", kFirefox, {}, "&count=no", "peek"}, {"192.0.2.1", kFirefox, {}, "&ago=1", "past"},
      {"192.0.2.1", kFirefox, {}, "&count=no", "peek"}, {"192.0.2.1"}, {"192.0.2.1", "other", {}, "", "rate"},
      {"192.0.2.1", kFirefox, {}, "&count=maybe", "error: Invalid count ('maybe'): use yes or no"}}},
    {"trusted_proxies", "TRUSTED_PROXIES = 10.0.0.0/24 fd00::1\nREPEAT_MINUTES = 30\nIGNORE_ADDR = 192.0.2.50\n", "",
     {{"10.0.0.1", kFirefox, {{"HTTP_X_FORWARDED_FOR", "192.0.2.5"}}},
      {"10.0.0.2", kFirefox, {{"HTTP_X_FORWARDED_FOR", "192.0.2.5"}}, "", "repeat"},
      {"10.0.0.1", kFirefox, {{"HTTP_X_FORWARDED_FOR", "192.0.2.6"}}},
      // A chain: the rightmost address that is no trusted proxy.
      {"10.0.0.1", kFirefox, {{"HTTP_X_FORWARDED_FOR", "198.51.100.1, 192.0.2.5:4711, 10.0.0.7"}}, "", "repeat"},
      {"fd00::1", kFirefox, {{"HTTP_FORWARDED", "for=\"[2001:db8::7]:443\";proto=https, for=10.0.0.3"}}},
      {"fd00::1", kFirefox, {{"HTTP_FORWARDED", "For=\"[2001:db8:0::7]\""}}, "", "repeat"},
      {"10.0.0.1", kFirefox, {{"HTTP_X_FORWARDED_FOR", "192.0.2.50"}}, "", "address"},
      // A header from an address that is no proxy of the site names nobody.
      {"192.0.2.7", kFirefox, {{"HTTP_X_FORWARDED_FOR", "192.0.2.5"}}},
      {"192.0.2.50", kFirefox, {{"HTTP_X_FORWARDED_FOR", "192.0.2.99"}}, "", "address"},
      // A malformed header: the proxy's own address, once.
      {"10.0.0.1", kFirefox, {{"HTTP_X_FORWARDED_FOR", "192.0.2.5, garbage"}}},
      {"10.0.0.1", kFirefox, {{"HTTP_FORWARDED", "for=unknown"}}, "", "repeat"},
      {"10.0.0.1", kFirefox, {{"HTTP_X_FORWARDED_FOR", ""}}, "", "repeat"}}},
    // A counter's own file replaces the site's keys it names, and only those.
    {"counter_file_over_the_site", "REPEAT_MINUTES = 30\nIGNORE_BOTS = yes\nIGNORE_ADDR = 192.0.2.9\n",
     "COUNT_AGENTS = github-camo\nREPEAT_MINUTES =\n",
     {{"192.0.2.1", kCamo}, {"192.0.2.1", kCamo}, {"192.0.2.1", "curl/8.5.0", {}, "", "agent"},
      {"192.0.2.9", kCamo, {}, "", "address"}, {"192.0.2.1", kCamo}}},
    {"bad_value_in_a_counter_file", "", "RATE_LIMIT = 5 per minute\n",
     {{"192.0.2.1", kFirefox, {}, "",
       "error: Configuration error. RATE_LIMIT must be VISITS/SECONDS, 1 to 1000 visits in 1 to 86400 seconds, "
       "not '5 per minute' (conf/counters/c.conf)"},
      {"192.0.2.1", kFirefox, {}, "&count=no", "peek"}}},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

enum class Store { kGdbm, kRedis };
enum class Mode { kCgi, kWorker };

// The server every test of the file shares; each test keeps its keys under
// a prefix of its own.
class SharedRedis : public testing::Environment {
public:
    void SetUp() override { server.emplace(); }
    void TearDown() override { server.reset(); }
    std::optional<RedisServer> server;
};
SharedRedis* const kRedis = static_cast<SharedRedis*>(testing::AddGlobalTestEnvironment(new SharedRedis));

// A site of counters on `store`, asked through `mode`.
class CountingSite {
public:
    // False (with the test skipped) when the store cannot be had.
    bool open(Store store, Mode mode, const std::string& conf_lines, const std::vector<std::string>& counters) {
        // Every request's figures are kept, to be checked against the
        // answers.
        std::string conf = site.read("conf/vc.conf") + conf_lines + "METRICS = ./metrics\n";
        if (store == Store::kRedis) {
            if (!kRedis->server || !kRedis->server->running()) return false;
            conf += "STORE = redis\nREDIS_ADDR = " + kRedis->server->socket() + "\nREDIS_PREFIX = " +
                    testing::UnitTest::GetInstance()->current_test_info()->name() + ":\n";
        }
        site.write("conf/vc.conf", conf);
        for (const std::string& name : counters) EXPECT_EQ(run_ctl(site, {"create", name}).status, 0);
        if (mode == Mode::kWorker) worker.emplace(site);
        return true;
    }
    // A counter file of the counter `name`.
    void rules(const std::string& name, const std::string& lines) {
        fs::create_directories(site.path("conf/counters"));
        site.write("conf/counters/" + name + ".conf", lines);
    }
    // The whole answer to `req`.
    std::string answer(const Request& req) { return worker ? worker->ask(req).out : run_cgi(site, req).out; }
    // The JSON answer to `req` (null when it is none).
    json ask(const Request& req) {
        const std::string out = answer(req);
        const std::size_t body = out.find("\n\n");
        return json::parse(body == std::string::npos ? "null" : out.substr(body + 2), nullptr, false);
    }
    // The total of counter `name`, read without counting.
    long total(const std::string& name) { return ask(get("vdb=" + name + "&format=json&count=no")).value("count", -1L); }

    TempSite site;
    std::optional<FastcgiWorker> worker;
};

// A visit of counter `name` from `addr` with User-Agent `agent`, and the
// further CGI variables `headers` (REQUEST_METHOD among them).
Request visit(const std::string& query, const std::string& addr, const std::optional<std::string>& agent,
              const std::map<std::string, std::string>& headers = {}) {
    Request req = get(query);
    req.method = "GET";
    req.extra_env["REMOTE_ADDR"] = addr;
    if (agent) req.extra_env["HTTP_USER_AGENT"] = *agent;
    for (const auto& [name, value] : headers) {
        if (name == "REQUEST_METHOD") {
            req.method = value;
        } else {
            req.extra_env[name] = value;
        }
    }
    return req;
}

std::string param_name(Store store, Mode mode) {
    return std::string(store == Store::kRedis ? "redis" : "gdbm") + (mode == Mode::kWorker ? "_worker" : "_cgi");
}

class Trust : public testing::TestWithParam<std::tuple<Scenario, Store, Mode>> {};

TEST_P(Trust, EachVisitCountsOrNamesWhyNot) {
    const auto& [scenario, store, mode] = GetParam();
    CountingSite site;
    if (!scenario.counter.empty()) site.rules("c", scenario.counter);
    if (!site.open(store, mode, scenario.site, {"c"})) GTEST_SKIP() << "redis-server is not installed";
    long shown = 0;
    std::map<std::string, double> outcomes;  // as the metrics name them
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        const json answer = site.ask(visit("vdb=c&format=json" + step.query, step.addr, step.agent, step.headers));
        std::string got;
        if (answer.contains("error")) {
            got = "error: " + answer["error"].get<std::string>();
        } else if (answer.value("counted", false)) {
            got = "counted";
            EXPECT_EQ(answer["count"], ++shown) << "step " << i;
        } else {
            got = answer.value("reason", "(no reason)");
            if (answer.contains("count") && step.query != "&ago=1") {
                EXPECT_EQ(answer["count"], shown) << "step " << i;
            }
        }
        EXPECT_EQ(got, step.expect) << "step " << i << ": " << answer.dump();
        ++outcomes[got.rfind("error", 0) == 0 ? "error" : got];
    }
    // The figures of the metrics file say the same as the answers, for
    // every worker and CGI run: each outcome, and a visit recorded in the
    // store for each one counted.
    if (site.worker) site.worker->stop();
    const MetricsFigures figures(site.site);
    for (const auto& [outcome, count] : outcomes) {
        EXPECT_EQ(figures.sum("vorncounter_requests_total", {{"outcome", outcome}, {"mode", "counter"}}), count)
            << outcome;
    }
    EXPECT_EQ(figures.sum("vorncounter_requests_total"), scenario.steps.size());
    EXPECT_EQ(figures.sum("vorncounter_store_operation_duration_seconds_count", {{"operation", "visit"}}),
              outcomes["counted"]);
    EXPECT_EQ(figures.sum("vorncounter_worker_requests_total"), site.worker ? scenario.steps.size() : 0);
    // A worker that ended took its caches' share back.
    EXPECT_EQ(figures.sum("vorncounter_cache_entries"), 0);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Trust,
                         testing::Combine(testing::ValuesIn(kScenarios), testing::Values(Store::kGdbm, Store::kRedis),
                                          testing::Values(Mode::kCgi, Mode::kWorker)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    param_name(std::get<1>(info.param), std::get<2>(info.param));
                         });

// Inflation by a script, against the rules that answer it: one address
// with a new User-Agent each time counts no more than RATE_LIMIT allows,
// where REPEAT_MINUTES alone counts every request; a counter for a GitHub
// README counts the image proxy and no loop of curl, and the site's other
// counters keep the site's rules. VORN_INFLATION_REQUESTS sets how many
// requests each load sends (default 200; README's figures used 10,000).
class Inflation : public testing::TestWithParam<std::tuple<Store, Mode>> {};

TEST_P(Inflation, RotatedAgentsAndScriptsCountOnlyWhatTheRulesAllow) {
    const auto& [store, mode] = GetParam();
    CountingSite site;
    // A window no run of the test outlasts, even under the sanitizers.
    site.rules("limited", "RATE_LIMIT = 5/600\n");
    site.rules("readme", "COUNT_AGENTS = github-camo\nREPEAT_MINUTES =\n");
    if (!site.open(store, mode, "REPEAT_MINUTES = 30\n", {"limited", "plain", "readme"})) {
        GTEST_SKIP() << "redis-server is not installed";
    }
    const char* env = std::getenv("VORN_INFLATION_REQUESTS");
    const long n = env ? std::atol(env) : 200;
    for (const char* counter : {"vdb=limited", "vdb=plain"}) {
        for (long i = 0; i < n; ++i) site.answer(visit(counter, "192.0.2.1", "Mozilla/5.0 agent " + std::to_string(i)));
    }
    for (long i = 0; i < n; ++i) {
        site.answer(visit("vdb=readme", "140.82.115.1", kCamo));
        site.answer(visit("vdb=readme", "192.0.2.1", "curl/8.5.0"));
    }
    EXPECT_EQ(site.total("limited"), 5);
    EXPECT_EQ(site.total("plain"), n);
    EXPECT_EQ(site.total("readme"), n);
}

INSTANTIATE_TEST_SUITE_P(Loads, Inflation,
                         testing::Combine(testing::Values(Store::kGdbm, Store::kRedis),
                                          testing::Values(Mode::kCgi, Mode::kWorker)),
                         [](const auto& info) { return param_name(std::get<0>(info.param), std::get<1>(info.param)); });

}  // namespace
}  // namespace vorn::test
