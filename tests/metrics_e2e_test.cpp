// SPDX-License-Identifier: GPL-3.0-or-later
// The figures of METRICS through the programs: what each mode and format
// adds, promtool's reading of both renderings, who may ask mode=metrics
// and mode=health, what health answers, metrics files that are damaged,
// truncated, foreign or cannot be had, and four workers under spawn-fcgi
// with CGI runs beside them, across a restart.
#include <signal.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <thread>

#include "base/util.h"
#include "fastcgi_client.h"
#include "harness.h"
#include "redis_server.h"

namespace vorn::test {
namespace {

constexpr char kVersionMessage[] = "VornCounter-2.0.0 beta1 (March 11, 2001)";
constexpr char kMetricsHeader[] = "Content-type: text/plain; version=0.0.4\n\n";

// A site with a counter "home" and the figures kept in ./run/metrics; the
// lines `extra` are added to conf/vc.conf.
class MetricsSite {
public:
    explicit MetricsSite(const std::string& extra = "METRICS = ./run/metrics\nMETRICS_ADDR = 127.0.0.1\n") {
        site.create_counter("home");
        fs::create_directories(site.path("run"));
        site.write("conf/vc.conf", site.read("conf/vc.conf") + extra);
    }
    RunResult ask(const std::string& query, const std::map<std::string, std::string>& env = {}) const {
        Request req = get(query);
        for (const auto& [name, value] : env) req.extra_env[name] = value;
        return run_cgi(site, req);
    }
    TempSite site;
};

// promtool's verdict on `text` (its output when it refuses it).
std::optional<std::string> promtool_refuses(const std::string& text) {
    TempSite scratch(false);
    scratch.write("figures.prom", text);
    const std::string command = "promtool check metrics < " + scratch.path("figures.prom").string() + " 2>&1";
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        if (::pclose(p) == 0) return std::nullopt;
        return out.empty() ? "promtool failed" : out;
    }
    return "promtool cannot be run";
}

// A loopback port no one listens on.
int closed_port() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

bool have_promtool() { return std::system("command -v promtool >/dev/null 2>&1") == 0; }

TEST(MetricsFigures, EachModeFormatAndOutcomeIsCountedAndPromtoolReadsIt) {
    MetricsSite s;
    struct Ask {
        std::string query;
        std::map<std::string, std::string> labels;
    };
    const std::vector<Ask> asks = {
        {"vdb=home", {{"mode", "counter"}, {"format", "gif"}, {"outcome", "counted"}}},
        {"vdb=home&format=svg", {{"mode", "counter"}, {"format", "svg"}, {"outcome", "counted"}}},
        {"vdb=home&format=json&count=no", {{"mode", "counter"}, {"format", "json"}, {"outcome", "peek"}}},
        {"vdb=home&ago=1", {{"mode", "counter"}, {"format", "gif"}, {"outcome", "past"}}},
        {"mode=date&format=json", {{"mode", "date"}, {"format", "json"}, {"outcome", "shown"}}},
        {"mode=time", {{"mode", "time"}, {"format", "gif"}, {"outcome", "shown"}}},
        {"vdb=home&mode=stat&when=day&format=svg", {{"mode", "stat"}, {"format", "svg"}, {"outcome", "shown"}}},
        {"vdb=nosuch&format=json", {{"mode", "counter"}, {"format", "json"}, {"outcome", "error"}, {"status", "404"}}},
        {"vdb=home&mode=nosuch", {{"mode", "other"}, {"format", "gif"}, {"outcome", "error"}, {"status", "400"}}},
        {"vdb=home&format=png", {{"mode", "counter"}, {"format", "other"}, {"outcome", "error"}, {"status", "400"}}},
        {"mode=health", {{"mode", "health"}, {"outcome", "shown"}}},
    };
    for (const Ask& a : asks) s.ask(a.query);
    const RunResult scraped = s.ask("mode=metrics");
    ASSERT_EQ(scraped.out.rfind(kMetricsHeader, 0), 0u) << scraped.out.substr(0, 200);

    const MetricsFigures figures(s.site);
    for (const Ask& a : asks) EXPECT_EQ(figures.sum("vorncounter_requests_total", a.labels), 1) << a.query;
    EXPECT_EQ(figures.sum("vorncounter_requests_total", {{"mode", "metrics"}}), 1);
    EXPECT_EQ(figures.sum("vorncounter_requests_total"), asks.size() + 1);
    EXPECT_EQ(figures.sum("vorncounter_request_duration_seconds_count", {{"mode", "counter"}}), 6);
    EXPECT_EQ(figures.sum("vorncounter_request_duration_seconds_bucket", {{"mode", "counter"}, {"le", "+Inf"}}), 6);
    // Two visits recorded; the counter opened for each of its requests but
    // the unknown mode's, which is refused after it.
    EXPECT_EQ(figures.sum("vorncounter_store_operation_duration_seconds_count", {{"operation", "visit"}}), 2);
    EXPECT_EQ(figures.sum("vorncounter_store_errors_total"), 0);
    // A CGI run is no worker.
    EXPECT_EQ(figures.sum("vorncounter_worker_requests_total") + figures.sum("vorncounter_cache_misses_total"), 0);

    if (!have_promtool()) GTEST_FAIL() << "promtool is missing (scripts/install-deps installs prometheus)";
    EXPECT_EQ(promtool_refuses(figures.text), std::nullopt);
    EXPECT_EQ(promtool_refuses(scraped.out.substr(std::strlen(kMetricsHeader))), std::nullopt);
}

// Who may ask for the operator's modes: the addresses of METRICS_ADDR, as
// the counting rules see the visitor. To anyone else they are the unknown
// modes they always were (without vdb: the program's name and version).
struct AddressCase {
    const char* name;
    std::string conf;
    std::string remote;
    std::map<std::string, std::string> headers;
    bool allowed;
};

const AddressCase kAddressCases[] = {
    {"no_metrics_addr", "METRICS = ./run/metrics\n", "127.0.0.1", {}, false},
    {"listed", "METRICS_ADDR = 10.0.0.9 127.0.0.1\n", "127.0.0.1", {}, true},
    {"in_a_prefix", "METRICS_ADDR = 10.1.0.0/16 ::1\n", "10.1.200.3", {}, true},
    {"ipv6", "METRICS_ADDR = 2001:db8::/32\n", "2001:db8::5", {}, true},
    {"not_listed", "METRICS_ADDR = 10.0.0.9\n", "127.0.0.1", {}, false},
    // Behind the site's proxy the visitor's address counts, not the proxy's.
    {"through_a_trusted_proxy", "METRICS_ADDR = 192.0.2.7\nTRUSTED_PROXIES = 10.0.0.1\n", "10.0.0.1",
     {{"HTTP_X_FORWARDED_FOR", "192.0.2.7"}}, true},
    {"proxy_is_not_the_visitor", "METRICS_ADDR = 10.0.0.1\nTRUSTED_PROXIES = 10.0.0.1\n", "10.0.0.1",
     {{"HTTP_X_FORWARDED_FOR", "192.0.2.7"}}, false},
    {"forged_header_from_no_proxy", "METRICS_ADDR = 192.0.2.7\n", "198.51.100.1",
     {{"HTTP_X_FORWARDED_FOR", "192.0.2.7"}}, false},
};

void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.name; }

class MetricsAddress : public testing::TestWithParam<AddressCase> {};

TEST_P(MetricsAddress, OnlyTheListedAskForMetricsAndHealth) {
    const AddressCase& c = GetParam();
    MetricsSite s("METRICS = ./run/metrics\n" + c.conf);
    std::map<std::string, std::string> env = c.headers;
    env["REMOTE_ADDR"] = c.remote;
    const RunResult metrics = s.ask("mode=metrics", env);
    const RunResult health = s.ask("mode=health", env);
    if (c.allowed) {
        EXPECT_EQ(metrics.status, 0);
        EXPECT_EQ(metrics.out.rfind(kMetricsHeader, 0), 0u) << metrics.out.substr(0, 200);
        EXPECT_NE(metrics.out.find("vorncounter_requests_total{"), std::string::npos);
        EXPECT_EQ(health.out,
                  "Cache-Control: no-cache, no-store, must-revalidate\nContent-type: text/plain\n\nok\n");
    } else {
        EXPECT_TRUE(is_error_image(metrics.out, kVersionMessage)) << error_text(metrics.out).value_or(metrics.out);
        EXPECT_TRUE(is_error_image(health.out, kVersionMessage)) << error_text(health.out).value_or(health.out);
        EXPECT_TRUE(is_error_image(s.ask("vdb=home&mode=metrics", env).out, "Unknown mode ('metrics')"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MetricsAddress, testing::ValuesIn(kAddressCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MetricsAddress, BadEntryIsNamedOnlyToTheOperatorsModes) {
    MetricsSite s("METRICS = ./run/metrics\nMETRICS_ADDR = 127.0.0.1 nonsense\n");
    const std::string message =
        "Configuration error. METRICS_ADDR: 'nonsense' is not an address or prefix (conf/vc.conf)";
    EXPECT_TRUE(is_error_image(s.ask("mode=health").out, message));
    // A visit does not depend on it.
    EXPECT_TRUE(decode_answer(s.ask("vdb=home").out).ok);
    const RunResult check = run_ctl(s.site, {"check"});
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find(message + ": mode=metrics and mode=health answer this error"), std::string::npos)
        << check.out;
}

// What mode=health answers for a store that can or cannot take visits, and
// what a failing store adds to its errors.
TEST(MetricsHealth, AStoreThatCannotTakeVisitsIs503WithTheCause) {
    MetricsSite gdbm;
    EXPECT_NE(gdbm.ask("mode=health").out.find("\n\nok\n"), std::string::npos);

    MetricsSite nosave;
    // The first line of a key counts.
    nosave.site.write("conf/vc.conf", "DIR_SAVE = ./nosave\n" + nosave.site.read("conf/vc.conf"));
    EXPECT_EQ(nosave.ask("mode=health").out,
              "Status: 503 Service Unavailable\nCache-Control: no-cache, no-store, must-revalidate\n"
              "Content-type: text/plain\n\nSave directory (./nosave) cannot be read: No such file or directory\n");

    // A Redis server that is not there: refused, for health and for a visit.
    const std::string addr = "127.0.0.1:" + std::to_string(closed_port());
    MetricsSite redis("METRICS = ./run/metrics\nMETRICS_ADDR = 127.0.0.1\nSTORE = redis\nREDIS_ADDR = " + addr + "\n");
    EXPECT_EQ(redis.ask("mode=health").out,
              "Status: 503 Service Unavailable\nCache-Control: no-cache, no-store, must-revalidate\n"
              "Content-type: text/plain\n\nRedis error. Connection refused (" + addr + ")\n");
    EXPECT_EQ(redis.ask("vdb=home&format=json").status, 1);
    const MetricsFigures figures(redis.site);
    EXPECT_EQ(figures.sum("vorncounter_store_errors_total", {{"store", "redis"}, {"kind", "refused"}}), 1);
    EXPECT_EQ(figures.sum("vorncounter_requests_total", {{"outcome", "error"}, {"status", "503"}}), 2);
}

// A server that stops answering: the visit's error is a time-out.
TEST(MetricsHealth, AStalledServerIsATimeout) {
    RedisServer server;
    if (!server.running()) GTEST_SKIP() << "redis-server is not installed";
    MetricsSite s("METRICS = ./run/metrics\nSTORE = redis\nREDIS_ADDR = " + server.socket() + "\n");
    EXPECT_EQ(run_ctl(s.site, {"create", "home"}).status, 0);
    EXPECT_EQ(s.ask("vdb=home&format=json").status, 0);
    ::kill(server.pid(), SIGSTOP);
    const RunResult stalled = s.ask("vdb=home&format=json");
    ::kill(server.pid(), SIGCONT);
    EXPECT_EQ(stalled.status, 1);
    const MetricsFigures figures(s.site);
    EXPECT_EQ(figures.sum("vorncounter_store_errors_total", {{"store", "redis"}, {"kind", "timeout"}}), 1);
    EXPECT_EQ(figures.sum("vorncounter_store_operation_duration_seconds_count", {{"store", "redis"}, {"operation", "visit"}}),
              1);
}

// Metrics files that are not as they should be: every answer is still
// given, nothing is counted twice, and vornctl check names the problem.
struct FileFault {
    const char* name;
    std::string metrics;  // METRICS
    // Makes the fault, after one request made a sound file.
    std::function<void(const TempSite&)> make;
    std::string finding;  // in vornctl check's output
    bool replaced;        // a sound file with only the next request's figures afterwards
};

// The header of the file: its layout number at byte 8, and a check of the
// first 32 bytes (FNV-1a) at byte 32.
void set_layout(const TempSite& site, std::uint32_t layout) {
    std::string bytes = site.read("run/metrics");
    std::memcpy(bytes.data() + 8, &layout, sizeof layout);
    std::uint64_t hash = 14695981039346656037ULL;
    for (int i = 0; i < 32; ++i) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ULL;
    std::memcpy(bytes.data() + 32, &hash, sizeof hash);
    site.write("run/metrics", bytes);
}

const FileFault kFileFaults[] = {
    {"truncated", "./run/metrics", [](const TempSite& s) { fs::resize_file(s.path("run/metrics"), 100); },
     "is a metrics file of the wrong size (truncated?): the next request replaces it", true},
    {"empty", "./run/metrics", [](const TempSite& s) { s.write("run/metrics", ""); },
     "is a metrics file of the wrong size (truncated?)", true},
    {"damaged_header", "./run/metrics",
     [](const TempSite& s) {
         std::string bytes = s.read("run/metrics");
         bytes[20] ^= 0x5a;
         s.write("run/metrics", bytes);
     },
     "is a metrics file with a damaged header: the next request replaces it", true},
    {"other_version", "./run/metrics", [](const TempSite& s) { set_layout(s, 12345); },
     "is a metrics file of another version: the next request replaces it", true},
    {"foreign", "./run/metrics", [](const TempSite& s) { s.write("run/metrics", "precious notes\n"); },
     "is not a metrics file, so no figures are kept (it is left as it is)", false},
    {"symbolic_link", "./run/metrics",
     [](const TempSite& s) {
         fs::remove(s.path("run/metrics"));
         fs::create_symlink(s.path("conf/vc.conf"), s.path("run/metrics"));
     },
     "is not a regular file, or a symbolic link, so no figures are kept", false},
    {"no_folder", "./nofolder/metrics", [](const TempSite&) {}, "of METRICS does not exist, so no figures are kept",
     false},
    {"folder_is_a_file", "./conf/vc.conf/metrics", [](const TempSite&) {}, "of METRICS does not exist", false},
};

void PrintTo(const FileFault& f, std::ostream* os) { *os << f.name; }

class MetricsFile : public testing::TestWithParam<FileFault> {};

TEST_P(MetricsFile, AnswersAreGivenAndCheckNamesIt) {
    const FileFault& f = GetParam();
    MetricsSite s("METRICS = " + f.metrics + "\n");
    EXPECT_TRUE(decode_answer(s.ask("vdb=home").out).ok);
    f.make(s.site);
    const std::string before = fs::is_regular_file(s.site.path("run/metrics")) ? s.site.read("run/metrics") : "";

    const RunResult check = run_ctl(s.site, {"check"});
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find(f.finding), std::string::npos) << check.out;

    const RunResult visit = s.ask("vdb=home&format=json");
    EXPECT_EQ(visit.status, 0);
    EXPECT_NE(visit.out.find("{\"name\":\"home\",\"count\":2,\"counted\":true}"), std::string::npos) << visit.out;
    if (f.replaced) {
        // The figures before the damage are lost, the next request's kept.
        const MetricsFigures figures(s.site);
        EXPECT_EQ(figures.sum("vorncounter_requests_total"), 1);
        EXPECT_EQ(run_ctl(s.site, {"check"}).out.find(f.finding), std::string::npos);
    } else if (!before.empty()) {
        EXPECT_EQ(s.site.read("run/metrics"), before);
        EXPECT_EQ(run_ctl(s.site, {"metrics"}).status, 1);
    }
    EXPECT_EQ(s.site.read("conf/vc.conf").find("VORNMETR"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faults, MetricsFile, testing::ValuesIn(kFileFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// A folder the program may not write: the answer is given, the figures of
// the request are lost, and check names the folder for that user.
TEST(MetricsFileAccess, AFolderTheProgramMayNotWriteCostsOnlyTheFigures) {
    MetricsSite s;
    Request peek = get("vdb=home&format=json&count=no");
    if (geteuid() == 0) {
        peek.user = unprivileged_user();
        if (!peek.user) GTEST_SKIP() << "no unprivileged user to run as";
    } else {
        fs::permissions(s.site.path("run"), fs::perms(0555));
    }
    const RunResult r = run_cgi(s.site, peek);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("{\"name\":\"home\",\"count\":0,"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(s.site.path("run/metrics")));
    const struct passwd* pw = getpwuid(peek.user.value_or(geteuid()));
    ASSERT_NE(pw, nullptr);
    const RunResult check = run_ctl(s.site, {"check", "--user", pw->pw_name});
    EXPECT_NE(check.out.find("may not write the directory " + fs::canonical(s.site.path("run")).string() +
                             " (METRICS is made there)"),
              std::string::npos)
        << check.out;
    fs::permissions(s.site.path("run"), fs::perms(0755));
}

// Four workers under spawn-fcgi and CGI runs of the same site add up to
// exactly the requests made, each outcome, across a restart of every
// worker; the workers take their caches' share back when they end.
class SpawnedWorkers {
public:
    SpawnedWorkers(const TempSite& site, int count) : socket_(site.path("run/workers.sock")) {
        const fs::path pidfile = site.path("run/workers.pid");
        Child c = start_program("/usr/bin/spawn-fcgi", site.root(), program_env(), "", std::nullopt,
                                {"-s", socket_.string(), "-F", std::to_string(count), "-P", pidfile.string(), "-d",
                                 site.root().string(), "--", kVorncounter});
        const RunResult r = finish_program(c);
        EXPECT_EQ(r.status, 0) << r.err;
        std::ifstream in(pidfile);
        for (pid_t pid; in >> pid;) pids_.push_back(pid);
        EXPECT_EQ(pids_.size(), static_cast<std::size_t>(count));
    }
    ~SpawnedWorkers() { stop(); }

    FastcgiReply ask(const Request& req) const {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
        if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
        return fastcgi_exchange(fd.get(), request_variables(req), "");
    }
    void signal(int sig) const {
        for (pid_t pid : pids_) ::kill(pid, sig);
    }
    // Ends every worker and waits (at most 10 s) until each has.
    void stop() {
        signal(SIGTERM);
        for (int i = 0; i < 200 && !pids_.empty(); ++i) {
            std::erase_if(pids_, [](pid_t pid) { return !_running(pid); });
            if (!pids_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(pids_.empty()) << "workers did not end";
        signal(SIGKILL);
        pids_.clear();
    }

private:
    // Not the test's children: ended once gone or a zombie.
    static bool _running(pid_t pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) return false;
        const std::size_t close = line.rfind(')');
        return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
    }

    fs::path socket_;
    std::vector<pid_t> pids_;
};

TEST(MetricsWorkers, FourWorkersAndCgiRunsAddUpAcrossARestart) {
    if (std::system("command -v spawn-fcgi >/dev/null 2>&1") != 0) GTEST_FAIL() << "spawn-fcgi is missing";
    MetricsSite s;
    SpawnedWorkers workers(s.site, 4);
    // Each client asks in turn: a visit (a new visitor each time), a look
    // that counts nothing, a counter that does not exist.
    const char* kQueries[] = {"vdb=home&format=json", "vdb=home&format=json&count=no", "vdb=nosuch&format=json"};
    constexpr int kRounds = 24;  // a third of each kind
    std::atomic<int> answered{0}, failed{0};
    auto phase = [&](int clients, bool worker) {
        std::vector<std::thread> threads;
        for (int t = 0; t < clients; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRounds; ++i) {
                    const Request req = get(kQueries[i % 3]);
                    const std::string out = worker ? workers.ask(req).out : run_cgi(s.site, req).out;
                    if (out.find("\n\n{\"") != std::string::npos) {
                        ++answered;
                    } else if (failed++ == 0) {
                        ADD_FAILURE() << (worker ? "FastCGI" : "CGI") << " answer: " << out;
                    }
                    (void)t;
                }
            });
        }
        for (std::thread& th : threads) th.join();
    };
    auto both = [&] {
        std::thread cgi([&] { phase(2, false); });
        phase(4, true);
        cgi.join();
    };
    both();
    // Every worker starts its program anew on the same socket.
    workers.signal(SIGHUP);
    both();
    workers.stop();

    EXPECT_EQ(failed.load(), 0);
    const int total = answered.load();
    const int per_kind = total / 3;
    const MetricsFigures figures(s.site);
    EXPECT_EQ(figures.sum("vorncounter_requests_total"), total);
    EXPECT_EQ(figures.sum("vorncounter_requests_total", {{"outcome", "counted"}}), per_kind);
    EXPECT_EQ(figures.sum("vorncounter_requests_total", {{"outcome", "peek"}}), per_kind);
    EXPECT_EQ(figures.sum("vorncounter_requests_total", {{"outcome", "error"}, {"status", "404"}}), per_kind);
    EXPECT_EQ(figures.sum("vorncounter_worker_requests_total"), 2 * 4 * kRounds);
    EXPECT_EQ(figures.sum("vorncounter_worker_starts_total"), 8);
    EXPECT_EQ(figures.sum("vorncounter_cache_entries"), 0);
    EXPECT_EQ(figures.sum("vorncounter_cache_bytes"), 0);
    EXPECT_GT(figures.sum("vorncounter_cache_hits_total", {{"cache", "config"}}), 0);
    // The counter says the same.
    EXPECT_NE(s.ask("vdb=home&format=json&count=no").out.find("\"count\":" + std::to_string(per_kind) + ","),
              std::string::npos);
}

}  // namespace
}  // namespace vorn::test
