// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/siphash.h"
#include "base/support.h"
#include "counting/address.h"
#include "counting/rules.h"
#include "harness.h"

namespace vorn::test {
namespace {

// The reference vectors of SipHash-2-4: key 00 01 ... 0f, message
// 00 01 ... (n-1), the result's bytes in little-endian order.
TEST(siphash_24, ReferenceVectors) {
    SipHashKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(i);
    auto message = [](std::size_t n) {
        std::string m;
        for (std::size_t i = 0; i < n; ++i) m.push_back(static_cast<char>(i));
        return m;
    };
    EXPECT_EQ(siphash_24(key, ""), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ(siphash_24(key, message(7)), 0xab0200f58b01d137ULL);
    EXPECT_EQ(siphash_24(key, message(8)), 0x93f5f5799a932462ULL);
    EXPECT_EQ(siphash_24(key, message(15)), 0xa129ca6149be45e5ULL);
    EXPECT_EQ(siphash_24(key, message(16)), 0x3f2acc7f57c29bdbULL);
    EXPECT_EQ(siphash_24(key, message(63)), 0x958a324ceb064572ULL);
    key[0] ^= 1;
    EXPECT_NE(siphash_24(key, ""), 0x726fdb47dd0e0e31ULL);
}

bool ignored(const std::string& rule, const std::string& remote) {
    std::optional<AddressPrefix> prefix = address_parseprefix(rule);
    EXPECT_TRUE(prefix) << rule;
    std::optional<Address> addr = address_parse(remote);
    EXPECT_TRUE(addr) << remote;
    return prefix && addr && address_matches(*prefix, *addr);
}

// True when the robot list `bots` leaves out a visit of User-Agent `agent`.
bool is_bot(const std::vector<std::string>& bots, const std::optional<std::string>& agent) {
    RULES rules;
    rules.ignore_bots = true;
    rules.bots = bots;
    return rules_decide(rules, VISITOR{"GET", "127.0.0.1", agent}) == Uncounted::kRobot;
}

TEST(RulesAddress, Ipv4PrefixesMatchUpToTheirLastAddress) {
    EXPECT_FALSE(ignored("192.0.2.0/24", "192.0.1.255"));
    EXPECT_TRUE(ignored("192.0.2.0/24", "192.0.2.0"));
    EXPECT_TRUE(ignored("192.0.2.0/24", "192.0.2.255"));
    EXPECT_FALSE(ignored("192.0.2.0/24", "192.0.3.0"));
    EXPECT_TRUE(ignored("10.0.0.0/8", "10.255.255.255"));
    EXPECT_FALSE(ignored("10.0.0.0/8", "11.0.0.0"));
    EXPECT_TRUE(ignored("198.51.100.64/26", "198.51.100.127"));
    EXPECT_FALSE(ignored("198.51.100.64/26", "198.51.100.128"));
    EXPECT_FALSE(ignored("198.51.100.64/26", "198.51.100.63"));
    // A plain address is itself alone; bits set past the prefix are ignored.
    EXPECT_TRUE(ignored("192.0.2.7", "192.0.2.7"));
    EXPECT_FALSE(ignored("192.0.2.7", "192.0.2.6"));
    EXPECT_TRUE(ignored("192.0.2.7/24", "192.0.2.200"));
    EXPECT_TRUE(ignored("0.0.0.0/0", "203.0.113.9"));
    EXPECT_FALSE(ignored("0.0.0.0/0", "2001:db8::1"));
}

TEST(RulesAddress, Ipv6PrefixesZonesAndMappedIpv4) {
    EXPECT_TRUE(ignored("2001:db8::/32", "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"));
    EXPECT_FALSE(ignored("2001:db8::/32", "2001:db9::"));
    EXPECT_FALSE(ignored("2001:db8::/32", "2001:db7:ffff::1"));
    EXPECT_TRUE(ignored("2001:db8::/127", "2001:db8::1"));
    EXPECT_FALSE(ignored("2001:db8::/127", "2001:db8::2"));
    EXPECT_TRUE(ignored("::1", "::1"));
    EXPECT_FALSE(ignored("::1/128", "::2"));
    EXPECT_TRUE(ignored("fe80::/10", "fe80::1%eth0"));
    // A server on a dual-stack socket passes IPv4 visitors as ::ffff:a.b.c.d.
    EXPECT_TRUE(ignored("192.0.2.0/24", "::ffff:192.0.2.9"));
    EXPECT_TRUE(ignored("::ffff:192.0.2.9", "192.0.2.9"));
    EXPECT_FALSE(address_parse(""));
    EXPECT_FALSE(address_parse("unix:/run/socket"));
}

// One visitor, one text, however the web server writes the address.
TEST(RulesAddress, CanonicalFormOfEachAddress) {
    EXPECT_EQ(address_canonical("::ffff:1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(address_canonical("::FFFF:1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(address_canonical("1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(address_canonical("2001:DB8:0:0::1"), "2001:db8::1");
    EXPECT_EQ(address_canonical("2001:0db8:0000:0000:0000:0000:0000:0001"), "2001:db8::1");
    EXPECT_EQ(address_canonical("fe80::1%eth1"), "fe80::1");
    EXPECT_EQ(address_canonical("::1"), "::1");
    EXPECT_EQ(address_canonical("not an address"), "not an address");
}

TEST(RulesAddress, EntriesThatAreNoAddressOrPrefixAreRefused) {
    for (const char* bad : {"192.0.2", "192.0.2.256", "192.0.2.0/33", "2001:db8::/129", "192.0.2.0/",
                            "/24", "192.0.2.0/-1", "192.0.2.0/+8", "192.0.2.0/8x", "192.0.2.0/0008",
                            "fe80::1%eth0", "example.org", "192.0.2.1,192.0.2.2", "[::1]", ""}) {
        EXPECT_FALSE(address_parseprefix(bad)) << bad;
    }
}

TEST(RulesBots, ListFileLinesAndMatchingWithoutCase) {
    const std::vector<std::string> bots =
        rules_parsebots("# robots\n\nGoogleBot\r\n   Spider  \n  # indented comment\ncurl/\nlast-without-newline");
    EXPECT_EQ(bots, (std::vector<std::string>{"googlebot", "spider", "curl/", "last-without-newline"}));
    EXPECT_TRUE(is_bot(bots, "Mozilla/5.0 (compatible; googleBOT/2.1)"));
    EXPECT_TRUE(is_bot(bots, "curl/8.5.0"));
    EXPECT_FALSE(is_bot(bots, "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"));
    EXPECT_FALSE(is_bot(bots, "curl"));
    // No User-Agent, or an empty one, is no browser.
    EXPECT_TRUE(is_bot(bots, ""));
    EXPECT_TRUE(is_bot(bots, std::nullopt));
    EXPECT_TRUE(is_bot({}, ""));
    EXPECT_FALSE(is_bot({}, "anything"));
}

// The list the site template ships: common robots are caught, and the
// browsers people use are not.
TEST(RulesBots, ShippedListCatchesRobotsAndSparesBrowsers) {
    std::ifstream in(kBuiltSite / "conf" / "bots.txt");
    std::stringstream text;
    text << in.rdbuf();
    const std::vector<std::string> bots = rules_parsebots(text.str());
    ASSERT_GT(bots.size(), 50u);
    for (const char* robot : {
             "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
             "Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)",
             "Mozilla/5.0 (compatible; YandexBot/3.0; +http://yandex.com/bots)",
             "Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko; compatible; GPTBot/1.2; +https://openai.com/gptbot)",
             "facebookexternalhit/1.1 (+http://www.facebook.com/externalhit_uatext.php)",
             "Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)",
             "TelegramBot (like TwitterBot)", "WhatsApp/2.23.20.0", "Mozilla/5.0 (compatible; Discordbot/2.0)",
             "Mozilla/5.0+(compatible; UptimeRobot/2.0; http://www.uptimerobot.com/)",
             "W3C-checklink/4.81 libwww-perl/6.72", "curl/8.5.0", "Wget/1.21.4", "python-requests/2.31.0",
             "Go-http-client/1.1", "okhttp/4.12.0", "Mozilla/5.0 (X11; Linux x86_64) HeadlessChrome/120.0.0.0",
         }) {
        EXPECT_TRUE(is_bot(bots, std::string(robot))) << robot;
    }
    for (const char* browser : {
             "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 "
             "Safari/537.36",
             "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 "
             "Safari/537.36 Edg/124.0.0.0",
             "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0",
             "Mozilla/5.0 (Macintosh; Intel Mac OS X 14_4) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.4 "
             "Safari/605.1.15",
             "Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
             "Version/17.4 Mobile/15E148 Safari/604.1",
             "Mozilla/5.0 (Linux; Android 10; CUBOT_X30) AppleWebKit/537.36 (KHTML, like Gecko) "
             "Chrome/124.0.0.0 Mobile Safari/537.36",
             "Mozilla/5.0 (Linux; Android 14; SM-S918B) AppleWebKit/537.36 (KHTML, like Gecko) "
             "SamsungBrowser/24.0 Chrome/117.0.0.0 Mobile Safari/537.36",
             "Opera/9.80 (Windows NT 6.1) Presto/2.12.388 Version/12.18",
         }) {
        EXPECT_FALSE(is_bot(bots, std::string(browser))) << browser;
    }
}

// The message a configuration is refused with, or "" when it is taken.
std::string refusal(const CGICONFIG& cgiconfig) {
    try {
        rules_read(cgiconfig);
    } catch (const ErrorAnswer& e) {
        return e.message();
    }
    return "";
}

TEST(RulesRead, ValuesAreCheckedAndBadOnesNamed) {
    CGICONFIG c;
    EXPECT_EQ(refusal(c), "");
    c.ignore_addr = "  192.0.2.7\t2001:db8::/32  198.51.100.0/24 ";
    c.ignore_bots = "no";
    c.repeat_minutes = "1440";
    EXPECT_EQ(refusal(c), "");
    const RULES rules = rules_read(c);
    EXPECT_EQ(rules.ignore_addr.size(), 3u);
    EXPECT_FALSE(rules.ignore_bots);
    EXPECT_EQ(rules.repeat_minutes, 1440);

    c.ignore_addr = "192.0.2.7 192.0.2.300/24";
    EXPECT_EQ(refusal(c),
              "Configuration error. IGNORE_ADDR: '192.0.2.300/24' is not an address or prefix (conf/vc.conf)");
    c.ignore_addr = "";
    for (const char* bad : {"Yes", "true", "1"}) {
        c.ignore_bots = bad;
        EXPECT_EQ(refusal(c), std::string("Configuration error. IGNORE_BOTS must be yes or no, not '") + bad +
                                  "' (conf/vc.conf)");
    }
    c.ignore_bots = "";
    for (const char* bad : {"-5", "1441", "30min", "+5", "99999999999999999999", "1.5"}) {
        c.repeat_minutes = bad;
        EXPECT_EQ(refusal(c), std::string("Configuration error. REPEAT_MINUTES must be a number from 0 to "
                                          "1440, not '") + bad + "' (conf/vc.conf)");
    }
    c.repeat_minutes = "0";
    EXPECT_EQ(rules_read(c).repeat_minutes, 0);
}

TEST(RulesDecide, HeadPrefetchAddressAgentThenRobot) {
    RULES rules;
    VISITOR v{"GET", "192.0.2.7", std::string("Mozilla/5.0 Firefox/128.0")};
    EXPECT_EQ(rules_decide(rules, v), std::nullopt);
    // HEAD is never counted, whatever the configuration; the method is
    // compared exactly.
    EXPECT_EQ(rules_decide(rules, VISITOR{"HEAD", v.addr, v.agent}), Uncounted::kHead);
    EXPECT_EQ(rules_decide(rules, VISITOR{"head", v.addr, v.agent}), std::nullopt);
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", v.addr, v.agent, true}), Uncounted::kPrefetch);
    // With the rules off, robots and empty User-Agents count as before.
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", v.addr, std::nullopt}), std::nullopt);

    rules.ignore_addr = {*address_parseprefix("192.0.2.0/24")};
    EXPECT_EQ(rules_decide(rules, v), Uncounted::kAddress);
    EXPECT_EQ(rules_decide(rules, VISITOR{"HEAD", v.addr, v.agent}), Uncounted::kHead);
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", "192.0.3.1", v.agent}), std::nullopt);
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", "not an address", v.agent}), std::nullopt);
    rules.count_agents = {"github-camo"};
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", "192.0.3.1", v.agent}), Uncounted::kAgent);
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", "192.0.3.1", std::nullopt}), Uncounted::kAgent);
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", "192.0.3.1", std::string("GitHub-Camo (a1b2)")}), std::nullopt);
    rules.ignore_bots = true;
    rules.bots = {"camo"};
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", "192.0.3.1", v.agent}), Uncounted::kAgent);
    EXPECT_EQ(rules_decide(rules, VISITOR{"GET", "192.0.3.1", std::string("github-camo (a1b2)")}), Uncounted::kRobot);
}

}  // namespace
}  // namespace vorn::test
