// SPDX-License-Identifier: GPL-3.0-or-later
// The built vorncounter run as a web server runs it: console notice, the
// configuration, request decoding through the query string and the POST
// body, the database checks and the mode dispatch, all seen from outside.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace vorn::test {
namespace {

const std::string kVersionError = "VornCounter-2.0.0 beta1 (March 11, 2001)";

Request post(const std::string& query, const std::string& body) {
    Request r;
    r.query = query;
    r.method = "POST";
    r.body = body;
    return r;
}

// A site with a counter named x, so the database checks pass.
class RequestEntry : public ::testing::Test {
protected:
    void SetUp() override { site.create_counter("x"); }
    RunResult run(const Request& req) { return run_cgi(site, req); }
    TempSite site;
};

// Success when `r` is the error image of `message` with exit status 1.
::testing::AssertionResult answered_error(const RunResult& r, const std::string& message) {
    if (r.status != 1) return ::testing::AssertionFailure() << "exit status " << r.status;
    if (!is_error_image(r.out, message)) {
        return ::testing::AssertionFailure() << "not the error image of: " << message;
    }
    return ::testing::AssertionSuccess();
}

TEST(ConsoleRun, PrintsNameVersionAndKoreanNoticeWithoutConfiguration) {
    TempSite site(false);  // no conf/vc.conf at all
    Request req;
    req.console = true;
    RunResult r = run_cgi(site, req);
    EXPECT_EQ(r.status, 0);
    // The notice in EUC-KR, byte for byte.
    const std::string notice =
        "\xba\xbb \xc7\xc1\xb7\xce\xb1\xd7\xb7\xa5\xc0\xba CGI \xc7\xc1\xb7\xce\xb1\xd7\xb7\xa5"
        "\xc0\xb8\xb7\xce \xc0\xa5 \xba\xea\xb6\xf3\xbf\xec\xc0\xfa \xbb\xf3\xbf\xa1\xbc\xad"
        "\xb8\xb8 \xbd\xc7\xc7\xe0\xb5\xcb\xb4\xcf\xb4\xd9.\n";
    EXPECT_EQ(r.out, "VornCounter 2.0.0 beta1\n" + notice);
}

TEST(ConsoleRun, EmptyRemoteAddrCountsAsAWebServer) {
    TempSite site;
    Request req;
    req.console = true;
    req.extra_env["REMOTE_ADDR"] = "";
    EXPECT_TRUE(answered_error(run_cgi(site, req), kVersionError));
}

TEST(ErrorAnswer, HeaderPaletteFrameAndText) {
    TempSite site;
    site.create_counter("x");
    RunResult r = run_cgi(site, get("vdb=x&mode=x"));
    EXPECT_EQ(r.status, 1);
    const std::string header = "Pragma: no-cache\nCache-Control: no-cache, no-store, must-revalidate\nContent-type: image/gif\n\n";
    ASSERT_EQ(r.out.substr(0, header.size() + 6), header + "GIF87a");

    // The GIF's own colour table: exactly four entries, in allocation order.
    const std::string gif = r.out.substr(header.size());
    ASSERT_GT(gif.size(), 25u);
    const unsigned char packed = static_cast<unsigned char>(gif[10]);
    EXPECT_TRUE(packed & 0x80) << "global colour table";
    EXPECT_EQ(packed & 0x07, 1) << "2^(1+1) = 4 entries";
    EXPECT_EQ(gif.substr(13, 12), std::string("\x00\x00\x00\xcf\xcf\xff\x4f\x4f\xff\x00\xff\x00", 12));

    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    gdImagePtr im = a.image.get();
    // "Unknown mode ('x')" has 18 characters.
    const int w = 6 * 18 + 12;
    ASSERT_EQ(gdImageSX(im), w);
    ASSERT_EQ(gdImageSY(im), 21);
    ASSERT_EQ(gdImageColorsTotal(im), 4);
    EXPECT_EQ(rgb_at(im, 0, 0), 0xCFCFFFu);
    EXPECT_EQ(rgb_at(im, w - 1, 0), 0x4F4FFFu);
    EXPECT_EQ(rgb_at(im, 0, 20), 0x4F4FFFu);
    EXPECT_EQ(rgb_at(im, w - 1, 20), 0x4F4FFFu);
    EXPECT_EQ(rgb_at(im, 2, 2), 0x4F4FFFu);
    EXPECT_EQ(rgb_at(im, w - 3, 2), 0xCFCFFFu);
    EXPECT_EQ(rgb_at(im, 2, 18), 0xCFCFFFu);
    EXPECT_EQ(rgb_at(im, w - 3, 18), 0xCFCFFFu);
    EXPECT_EQ(rgb_at(im, 1, 1), 0u);
    bool text_from_6 = false, text_left_of_6 = false;
    for (int y = 3; y <= 17; ++y) {
        for (int x = 3; x <= w - 4; ++x) {
            if (rgb_at(im, x, y) != 0x00FF00u) continue;
            if (x < 6) text_left_of_6 = true;
            if (x >= 6 && x < 12 && y >= 4 && y <= 16) text_from_6 = true;
            EXPECT_TRUE(y >= 4 && y <= 16) << "text outside rows 4..16 at " << x << "," << y;
        }
    }
    EXPECT_TRUE(text_from_6);
    EXPECT_FALSE(text_left_of_6);

    EXPECT_TRUE(is_error_image(r.out, "Unknown mode ('x')"));
    EXPECT_FALSE(is_error_image(r.out, "Unknown mode ('y')")) << "the helper tells messages apart";
}

TEST(ErrorAnswer, LongMessageIsCutTo1019Characters) {
    TempSite site;
    site.create_counter("x");
    const std::string mode(5000, 'm');
    RunResult r = run_cgi(site, get("vdb=x&mode=" + mode));
    Answer a = decode_answer(r.out);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(gdImageSX(a.image.get()), 6 * 1019 + 12);
    EXPECT_TRUE(answered_error(r, ("Unknown mode ('" + mode + "')").substr(0, 1019)));
}

TEST(RequestConfiguration, MissingFileIsAnErrorImage) {
    TempSite site(false);
    EXPECT_TRUE(answered_error(run_cgi(site, get("vdb=x")), "Configuration file('conf/vc.conf') not found."));
}

TEST(RequestConfiguration, SaveDirectoryAndExtensionNameTheDatabase) {
    TempSite site;
    site.write("conf/vc.conf", "DIR_SAVE = ./data\nDBFILE_EXT = gdbm\n");
    EXPECT_TRUE(answered_error(run_cgi(site, get("vdb=x&mode=stat")), "DB file (./data/x.gdbm) not found"));
}

TEST_F(RequestEntry, MissingVdbGivesTheVersionImage) {
    EXPECT_TRUE(answered_error(run(get("")), kVersionError));
    EXPECT_TRUE(answered_error(run(get("mode=counter")), kVersionError));
    // The database checks come before the mode is looked at.
    EXPECT_TRUE(answered_error(run(get("mode=foo")), kVersionError));
}

TEST_F(RequestEntry, MissingDatabaseIsNamedWithItsPath) {
    EXPECT_TRUE(answered_error(run(get("vdb=y&mode=stat")), "DB file (./save/y.db) not found"));
    EXPECT_TRUE(answered_error(run(get("vdb=y")), "DB file (./save/y.db) not found"));
    EXPECT_TRUE(answered_error(run(get("vdb=X")), "DB file (./save/X.db) not found"));
}

TEST_F(RequestEntry, UnknownModesAreCaseSensitiveWholeTexts) {
    EXPECT_TRUE(answered_error(run(get("vdb=x&mode=foo")), "Unknown mode ('foo')"));
    EXPECT_TRUE(answered_error(run(get("vdb=x&mode=Counter")), "Unknown mode ('Counter')"));
    EXPECT_TRUE(answered_error(run(get("vdb=x&mode=")), "Unknown mode ('')"));
    EXPECT_TRUE(answered_error(run(get("vdb=x&mode=stats")), "Unknown mode ('stats')"));
}

TEST_F(RequestEntry, DateAndTimeNeedNoDatabase) {
    for (const char* mode : {"date", "time"}) {
        RunResult r = run(get(std::string("mode=") + mode + "&vdb=nosuch"));
        EXPECT_EQ(r.status, 0) << mode;
        EXPECT_TRUE(decode_answer(r.out).ok) << mode;
    }
}

TEST_F(RequestEntry, CounterNamesThatLeaveTheSaveDirectoryAreRefused) {
    // Both files exist, so only the name check stands between the request
    // and a database outside ./save.
    site.write("x.db", "");
    fs::create_directories(site.path("save/sub"));
    site.write("save/sub/x.db", "");
    const char* names[] = {"../x", "sub/x", "..", "a..b", "/etc/passwd"};
    for (const char* name : names) {
        EXPECT_TRUE(answered_error(
            run(get(std::string("mode=foo&vdb=") + name)),
            std::string("Invalid counter name ('") + name + "'): a name may not hold '/' or '..'"));
    }
    // Escaped separators are decoded before the check.
    EXPECT_TRUE(answered_error(run(get("mode=foo&vdb=%2E%2E%2Fx")),
                        "Invalid counter name ('../x'): a name may not hold '/' or '..'"));
    // A single dot is an ordinary name character.
    EXPECT_TRUE(answered_error(run(get("mode=foo&vdb=.x")), "DB file (./save/.x.db) not found"));
}

// The path is bounded, and the name so that the journal and the copies a
// recovery keeps beside the file fit a file name too.
TEST_F(RequestEntry, DatabasePathOf254AndNameOf240CharactersAreTheLongest) {
    const std::string longest(240, 'n');
    // "./save/" + name + ".db" is 10 characters around the name.
    site.write("save/" + longest + "n.db", "");
    EXPECT_TRUE(answered_error(run(get("mode=foo&vdb=" + longest + "n")),
                               "Counter name too long (241 characters, at most 240)"));
    EXPECT_TRUE(answered_error(run(get("mode=foo&vdb=" + std::string(245, 'n'))),
                               "DB file path too long (255 characters, at most 254)"));
    EXPECT_TRUE(answered_error(run(get("mode=foo&vdb=" + std::string(4000, 'n'))),
                               "DB file path too long (4010 characters, at most 254)"));
    // "./savesave/" + name + ".db" is 254 characters: the longest path.
    fs::create_directories(site.path("savesave"));
    site.write("conf/vc.conf", "DIR_SAVE = ./savesave\n");
    site.write("savesave/" + longest + ".db", "");
    EXPECT_TRUE(answered_error(run(get("mode=foo&vdb=" + longest)), "Unknown mode ('foo')"));
    site.write("conf/vc.conf", "DIR_SAVE = ./savesave/\n");
    EXPECT_TRUE(answered_error(run(get("mode=foo&vdb=" + longest)),
                               "DB file path too long (255 characters, at most 254)"));
}

// A counter of the longest name, made with vornadmin in a save directory
// named without "./", counts: its journal fits beside it.
TEST_F(RequestEntry, LongestNameCounts) {
    site.write("conf/vc.conf", "DIR_SAVE = save\n");
    const std::string longest(240, 'n');
    ASSERT_EQ(run_admin(site, "1\n" + longest + "\n").status, 0);
    for (int i = 0; i < 2; ++i) {
        RunResult r = run(get("vdb=" + longest));
        EXPECT_EQ(r.status, 0) << error_text(r.out).value_or("(no error image)");
    }
    EXPECT_EQ(dump_db(site.path("save/" + longest + ".db")).at(std::string("totcnt", 7)), std::string("2", 2));
    EXPECT_TRUE(journal_idle(site.path("save/" + longest + ".db-journal")));
}

TEST_F(RequestEntry, PostBodyIsDecodedAfterTheQueryString) {
    EXPECT_TRUE(answered_error(run(post("", "vdb=x&mode=f%6Fo+")), "Unknown mode ('foo')"));
    // Query-string pairs come first, so they win.
    EXPECT_TRUE(answered_error(run(post("mode=bar", "mode=foo&vdb=x")), "Unknown mode ('bar')"));
    EXPECT_TRUE(answered_error(run(post("vdb=x", "mode=foo")), "Unknown mode ('foo')"));
}

TEST_F(RequestEntry, BodyIsReadOnlyForAnUpperCasePost) {
    Request req = post("mode=foo", "vdb=x");
    req.method = "post";
    EXPECT_TRUE(answered_error(run(req), kVersionError));
    req.method = "GET";
    EXPECT_TRUE(answered_error(run(req), kVersionError));
}

TEST_F(RequestEntry, ContentLengthDecidesHowMuchIsRead) {
    Request req = post("", "vdb=x&mode=abcdef");
    req.content_length = "12abc";  // reads "vdb=x&mode=a"
    EXPECT_TRUE(answered_error(run(req), "Unknown mode ('a')"));
    for (const char* length : {"0", "-3", "abc"}) {
        req = post("mode=foo", "vdb=x");
        req.content_length = length;
        EXPECT_TRUE(answered_error(run(req), kVersionError)) << length;
    }
}

TEST_F(RequestEntry, PostWithoutContentLengthReadsNoBody) {
    // A body waits on standard input, but without a length none is read.
    Request req = post("mode=foo", "vdb=x");
    req.omit_content_length = true;
    EXPECT_TRUE(answered_error(run(req), kVersionError));
}

TEST_F(RequestEntry, BodiesAboveTheLimitAreRefusedUnread) {
    std::string body = "vdb=x&mode=foo&pad=";
    body += std::string(65536 - body.size(), 'p');
    EXPECT_TRUE(answered_error(run(post("", body)), "Unknown mode ('foo')")) << "65536 bytes are read";
    body += "p";
    EXPECT_TRUE(answered_error(run(post("", body)), "Request body too large (65537 bytes, at most 65536)"));
    Request req = post("", "vdb=x");
    req.content_length = "99999999999999999999999";
    EXPECT_TRUE(answered_error(run(req), "Request body too large (9223372036854775807 bytes, at most 65536)"));
}

TEST_F(RequestEntry, ShortBodyIsAnErrorImage) {
    Request req = post("", "vdb=x");
    req.content_length = "20";
    EXPECT_TRUE(answered_error(run(req), "Request body incomplete (5 of 20 bytes)"));
}

TEST_F(RequestEntry, BodyWithZeroByteEndsThereAndIsReadOnce) {
    // Nothing before the zero byte: no pair, and the later lookups must not
    // take the exhausted input for a short body.
    EXPECT_TRUE(answered_error(run(post("", std::string("\0vdb=x", 6))), kVersionError));
    EXPECT_TRUE(answered_error(run(post("", std::string("vdb=x&mode=foo\0bar", 18))),
                        "Unknown mode ('foo')"));
}

}  // namespace
}  // namespace vorn::test
