// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;

constexpr char kFirefox[] = "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0";
constexpr char kGooglebot[] = "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)";

// A request of the counter "c" from `addr` with the User-Agent `agent`
// (none when absent).
Request visit(const std::string& addr, std::optional<std::string> agent = kFirefox,
              const std::string& query = "vdb=c") {
    Request req;
    req.query = query;
    req.method = "GET";
    req.extra_env["REMOTE_ADDR"] = addr;
    if (agent) req.extra_env["HTTP_USER_AGENT"] = *agent;
    return req;
}

class Rules : public testing::Test {
protected:
    void SetUp() override { site.create_counter("c"); }

    // Appends configuration lines to the site's conf/vc.conf.
    void configure(const std::string& lines) { site.write("conf/vc.conf", site.read("conf/vc.conf") + lines); }
    // The picture a counter answer shows; fails the test on an error image.
    std::string answer(const Request& req) {
        RunResult r = run_cgi(site, req);
        EXPECT_EQ(r.status, 0) << error_text(r.out).value_or("(no error image)");
        return r.out;
    }
    // Answers `req` and expects it counted nothing: the counter file keeps
    // every byte, and the answer is the picture of the total it holds.
    void expect_not_counted(const Request& req) {
        const std::string before = site.read("save/c.db");
        const std::string out = answer(req);
        EXPECT_EQ(site.read("save/c.db"), before) << "the counter file changed";
        EXPECT_EQ(out, total_picture());
    }
    void expect_counted(const Request& req) {
        const std::string before = dump_db(db()).count(stored("totcnt")) ? dump_db(db()).at(stored("totcnt")) : "";
        answer(req);
        EXPECT_NE(dump_db(db()).at(stored("totcnt")), before) << "not counted";
    }
    // The picture of the counter's current total, drawn by an ago=total
    // hit on a copy of the counter one short of it.
    std::string total_picture() {
        const Records now = dump_db(db());
        const long total = now.count(stored("totcnt")) ? std::stol(now.at(stored("totcnt"))) : 0;
        TempSite other;
        if (total == 0) {
            other.create_counter("z");
            return run_cgi(other, visit("127.0.0.1", kFirefox, "vdb=z&ago=0")).out;
        }
        store_records(other.path("save/z.db"), {{"totcnt", std::to_string(total - 1)}});
        return run_cgi(other, visit("127.0.0.1", kFirefox, "vdb=z")).out;
    }
    long total() { return std::stol(dump_db(db()).at(stored("totcnt"))); }
    fs::path db() const { return site.path("save/c.db"); }

    TempSite site;
};

// A request that never shows the picture is no visit, whatever the
// configuration; it is answered as a GET would be, with the total.
TEST_F(Rules, HeadRecordsNothingAndShowsTheTotal) {
    Request head = visit("127.0.0.1");
    head.method = "HEAD";
    expect_not_counted(head);  // before the first hit: "0"
    EXPECT_FALSE(fs::exists(site.path("save/visits")));
    expect_counted(visit("127.0.0.1"));
    expect_counted(visit("127.0.0.1"));
    expect_not_counted(head);
    EXPECT_EQ(total(), 2);
}

TEST_F(Rules, SiteWithoutTheKeysCountsEveryRequestAndKeepsNoVisits) {
    expect_counted(visit("127.0.0.1", kGooglebot));
    expect_counted(visit("127.0.0.1", ""));
    expect_counted(visit("127.0.0.1", std::nullopt));
    expect_counted(visit("127.0.0.1"));
    expect_counted(visit("127.0.0.1"));
    EXPECT_EQ(total(), 5);
    EXPECT_FALSE(fs::exists(site.path("save/visits")));
}

TEST_F(Rules, IgnoredAddressesAndPrefixes) {
    configure("IGNORE_ADDR = 192.0.2.0/24  2001:db8::/32\t198.51.100.7\n");
    expect_counted(visit("192.0.1.255"));
    expect_not_counted(visit("192.0.2.0"));
    expect_not_counted(visit("192.0.2.255"));
    expect_counted(visit("192.0.3.0"));
    expect_not_counted(visit("2001:db8:ffff:ffff::1"));
    expect_counted(visit("2001:db9::1"));
    expect_not_counted(visit("::ffff:198.51.100.7"));
    expect_counted(visit("198.51.100.8"));
    EXPECT_EQ(total(), 4);
    EXPECT_FALSE(fs::exists(site.path("save/visits")));
}

TEST_F(Rules, RobotsOfTheListAndEmptyUserAgents) {
    configure("IGNORE_BOTS = yes\n");
    expect_not_counted(visit("127.0.0.1", kGooglebot));
    expect_not_counted(visit("127.0.0.1", "curl/8.5.0"));
    expect_not_counted(visit("127.0.0.1", ""));
    expect_not_counted(visit("127.0.0.1", std::nullopt));
    expect_counted(visit("127.0.0.1", kFirefox));
    // The operator's own list replaces the shipped one at the next request.
    site.write("conf/bots.txt", "# our monitor\nAcme-Monitor\n");
    expect_not_counted(visit("127.0.0.1", "acme-monitor/1.0"));
    expect_counted(visit("127.0.0.1", kGooglebot));
    EXPECT_EQ(total(), 2);
}

TEST_F(Rules, RepeatIsShownNotCounted) {
    configure("REPEAT_MINUTES = 30\n");
    expect_counted(visit("192.0.2.7"));
    expect_not_counted(visit("192.0.2.7"));
    expect_counted(visit("192.0.2.7", "Mozilla/5.0 Chrome/124.0"));
    expect_counted(visit("192.0.2.8"));
    expect_not_counted(visit("192.0.2.8"));
    // The past days and the charts read the same counter as before.
    EXPECT_EQ(answer(visit("192.0.2.8", kFirefox, "vdb=c&ago=0")), total_picture());
    EXPECT_EQ(total(), 3);
}

// One visitor is one address, however the web server writes it: mapped
// into IPv6, in other letter case or zero runs, or with its zone.
TEST_F(Rules, RepeatKnowsAnAddressInEachOfItsForms) {
    configure("REPEAT_MINUTES = 30\n");
    expect_counted(visit("1.2.3.4"));
    expect_not_counted(visit("::ffff:1.2.3.4"));
    expect_not_counted(visit("::FFFF:1.2.3.4"));
    expect_counted(visit("2001:db8::1"));
    expect_not_counted(visit("2001:DB8:0:0::1"));
    expect_not_counted(visit("2001:0db8:0000:0000:0000:0000:0000:0001"));
    expect_counted(visit("fe80::1%eth0"));
    expect_not_counted(visit("fe80::1%eth1"));
    expect_not_counted(visit("FE80::1"));
    expect_counted(visit("2001:db8::2"));
    EXPECT_EQ(total(), 4);
}

// Visitors that arrive at the same moment are counted once each: the look
// at the remembered visits and the count are one step.
TEST_F(Rules, ConcurrentFirstVisitsOfOneVisitorCountOnce) {
    configure("REPEAT_MINUTES = 30\nIGNORE_BOTS = yes\nIGNORE_ADDR = 192.0.2.1\n");
    constexpr int kRequests = 16;
    std::vector<Child> children;
    for (int i = 0; i < kRequests; ++i) {
        children.push_back(start_cgi(site, visit("203.0.113.5", i % 2 ? kFirefox : "Other/1.0")));
    }
    std::map<std::string, int> pictures;
    for (Child& child : children) {
        RunResult r = finish_program(child);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(decode_answer(r.out).ok);
        ++pictures[r.out];
    }
    EXPECT_EQ(total(), 2);
    const Records records = dump_db(db());
    long hours = 0;
    for (const auto& [key, value] : records) {
        if (key != stored("totcnt") && key != stored("startdate")) hours += std::stol(value);
    }
    EXPECT_EQ(hours, 2);
    // Each answer shows a total that its visitor's count was part of.
    EXPECT_LE(pictures.size(), 2u);
}

TEST_F(Rules, BadValuesAreAnsweredWithTheirKey) {
    const std::string conf = site.read("conf/vc.conf");
    const std::string before = site.read("save/c.db");
    struct Case {
        std::string lines, message;
    };
    const std::vector<Case> cases = {
        {"IGNORE_ADDR = 192.0.2.7 localhost\n",
         "Configuration error. IGNORE_ADDR: 'localhost' is not an address or prefix (conf/vc.conf)"},
        {"IGNORE_ADDR = 2001:db8::/200\n",
         "Configuration error. IGNORE_ADDR: '2001:db8::/200' is not an address or prefix (conf/vc.conf)"},
        {"IGNORE_BOTS = Yes\n", "Configuration error. IGNORE_BOTS must be yes or no, not 'Yes' (conf/vc.conf)"},
        {"REPEAT_MINUTES = -5\n",
         "Configuration error. REPEAT_MINUTES must be a number from 0 to 1440, not '-5' (conf/vc.conf)"},
        {"REPEAT_MINUTES = 100000\n",
         "Configuration error. REPEAT_MINUTES must be a number from 0 to 1440, not '100000' (conf/vc.conf)"},
        {"REPEAT_MINUTES = 30 minutes\n",
         "Configuration error. REPEAT_MINUTES must be a number from 0 to 1440, not '30 minutes' (conf/vc.conf)"},
    };
    for (const Case& c : cases) {
        site.write("conf/vc.conf", conf + c.lines);
        RunResult r = run_cgi(site, visit("127.0.0.1"));
        EXPECT_EQ(r.status, 1) << c.lines;
        EXPECT_TRUE(is_error_image(r.out, c.message)) << c.lines << error_text(r.out).value_or("(none)");
    }
    site.write("conf/vc.conf", conf + "IGNORE_BOTS = yes\n");
    fs::remove(site.path("conf/bots.txt"));
    RunResult r = run_cgi(site, visit("127.0.0.1"));
    EXPECT_TRUE(is_error_image(
        r.out, "Configuration error. IGNORE_BOTS is yes but conf/bots.txt cannot be read (No such file or directory)"));
    fs::create_directory(site.path("conf/bots.txt"));
    r = run_cgi(site, visit("127.0.0.1"));
    EXPECT_TRUE(is_error_image(
        r.out, "Configuration error. IGNORE_BOTS is yes but conf/bots.txt cannot be read (Is a directory)"));
    EXPECT_EQ(site.read("save/c.db"), before);
    // The rules are read where a visit would be counted, not for dates.
    EXPECT_EQ(run_cgi(site, visit("127.0.0.1", kFirefox, "mode=date")).status, 0);
}

// A save directory the web server may not write gets a clear answer, and
// nothing is counted.
TEST_F(Rules, VisitsThatCannotBeKeptAreAnErrorAndCountNothing) {
    std::optional<uid_t> user = unprivileged_user();
    if (!user) GTEST_SKIP() << "needs root to run the program as another user";
    configure("REPEAT_MINUTES = 30\n");
    ASSERT_EQ(chmod(site.path("save/c.db").c_str(), 0666), 0);
    ASSERT_EQ(chmod(site.root().c_str(), 0755), 0);
    const std::string before = site.read("save/c.db");
    Request req = visit("127.0.0.1");
    req.user = user;
    RunResult r = run_cgi(site, req);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_error_image(r.out, "Visits file error. Permission denied (./save/visits)"))
        << error_text(r.out).value_or("(none)");
    EXPECT_EQ(site.read("save/c.db"), before);
}

}  // namespace
}  // namespace vorn::test
