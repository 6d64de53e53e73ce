// SPDX-License-Identifier: GPL-3.0-or-later
// Text helpers, the request's parameters and the configuration file.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "base/sha1.h"
#include "base/util.h"
#include "config/config.h"
#include "harness.h"
#include "web/query.h"

namespace vorn::test {
namespace {

// A request of the test's own: its CGI variables and its body.
class MemoryChannel final : public RequestChannel {
public:
    explicit MemoryChannel(std::map<std::string, std::string> variables, std::string body = "")
        : variables_(std::move(variables)), body_(std::move(body)) {}
    const char* variable(const char* name) override {
        auto it = variables_.find(name);
        return it == variables_.end() ? nullptr : it->second.c_str();
    }
    std::size_t read(char* data, std::size_t size) override {
        const std::size_t n = std::min(size, body_.size() - taken_);
        body_.copy(data, n, taken_);
        taken_ += n;
        return n;
    }
    void write(const char*, std::size_t) override {}
    std::size_t taken() const { return taken_; }

private:
    std::map<std::string, std::string> variables_;
    std::string body_;
    std::size_t taken_ = 0;
};

EntryList pairs(const std::string& query) {
    MemoryChannel channel({{"QUERY_STRING", query}});
    return query_read(channel);
}

std::optional<std::string> value(const std::string& query, const std::string& name) {
    return util_getvalue(pairs(query), name);
}

std::string decoded(std::string s) {
    util_decodequery(s);
    return s;
}

TEST(util_decodequery, HexEscapesInEitherCaseAndPlus) {
    EXPECT_EQ(decoded("%41%42"), "AB");
    EXPECT_EQ(decoded("%4a%4A"), "JJ");
    EXPECT_EQ(decoded("%fF"), "\xff");
    EXPECT_EQ(decoded("%2B"), "+");
    EXPECT_EQ(decoded("a+b"), "a b");
    EXPECT_EQ(decoded("100%25"), "100%");
    EXPECT_EQ(decoded("%2541"), "%41");  // decoded once, not twice
}

TEST(util_decodequery, NonHexCharactersFollowTheSameArithmetic) {
    EXPECT_EQ(decoded("%zz"), "S");  // 16*35+35 = 595 = 0x253
    // '%' (37) counts from '0': 16*(-11)+4 = -172, modulo 256 is 84.
    EXPECT_EQ(decoded("%%4"), "T");
    // A byte above 0x7f is negative as a signed 8-bit number: 0xC1 is -63,
    // its value -111, and 16 * -111 modulo 256 is 0x10.
    EXPECT_EQ(decoded("%\xC1" "0"), "\x10");
}

TEST(util_decodequery, ZeroByteEndsTheText) {
    EXPECT_EQ(decoded("ab%00cd"), "ab");
    EXPECT_EQ(decoded("%00"), "");
    EXPECT_EQ(decoded(std::string("ab\0cd", 5)), "ab");
}

TEST(util_decodequery, IncompleteEscapeAtTheEndIsKept) {
    EXPECT_EQ(decoded("abc%"), "abc%");
    EXPECT_EQ(decoded("abc%4"), "abc%4");
    EXPECT_EQ(decoded("%"), "%");
    EXPECT_EQ(decoded("%%41"), "T1");  // a complete escape, of non-hex "%4"
    EXPECT_EQ(decoded("%41%4"), "A%4");
}

TEST(util_makeword, SplitsAtTheFirstStop) {
    std::string s = "a=b=c";
    EXPECT_EQ(util_makeword(s, '='), "a");
    EXPECT_EQ(s, "b=c");
    s = "mode";
    EXPECT_EQ(util_makeword(s, '='), "mode");
    EXPECT_EQ(s, "");
    s = "&x";
    EXPECT_EQ(util_makeword(s, '&'), "");
    EXPECT_EQ(s, "x");
    s = "x&";
    EXPECT_EQ(util_makeword(s, '&'), "x");
    EXPECT_EQ(s, "");
}

TEST(util_deletespace, TrimsOnlyTheFourBlanksAtTheEnds) {
    std::string s = " \t\r\n two  words \n\r\t ";
    EXPECT_EQ(&util_deletespace(s), &s);
    EXPECT_EQ(s, "two  words");
    s = " \t \r\n";
    EXPECT_EQ(util_deletespace(s), "");
    s = "\vx\f";
    EXPECT_EQ(util_deletespace(s), "\vx\f");
    s = "";
    EXPECT_EQ(util_deletespace(s), "");
}

TEST(query_read, PairsAndLookups) {
    const EntryList list = pairs("vdb=a&mode=date");
    EXPECT_EQ(util_getvalue(list, "mode"), "date");
    EXPECT_EQ(util_getvalue(list, "vdb"), "a");
    EXPECT_EQ(util_getvalue(list, "style"), std::nullopt);
    EXPECT_EQ(util_getvalue(list, "Mode"), std::nullopt);
}

TEST(query_read, EscapedSeparatorsAreData) {
    EXPECT_EQ(value("name=a%26b&a%3Db=c&x=b=c", "name"), "a&b");
    EXPECT_EQ(value("name=a%26b&a%3Db=c&x=b=c", "a=b"), "c");
    EXPECT_EQ(value("name=a%26b&a%3Db=c&x=b=c", "x"), "b=c");
    EXPECT_EQ(value("name=a%26b&a%3Db=c&x=b=c", "a"), std::nullopt);
}

TEST(query_read, PieceWithoutEqualsHasEmptyValue) {
    EXPECT_EQ(value("mode&vdb=x", "mode"), "");
    EXPECT_EQ(value("mode&vdb=x", "vdb"), "x");
}

TEST(query_read, BlanksFromPlusAndEscapesAreTrimmedAfterDecoding) {
    const std::string q = "+mode+=+date+&%20vdb%20=%20x%20y%20&%09t%0D%0A=%0Bv";
    EXPECT_EQ(value(q, "mode"), "date");
    EXPECT_EQ(value(q, "vdb"), "x y");
    EXPECT_EQ(value(q, "t"), "\vv");
}

TEST(query_read, FirstPairWinsAndEmptyPiecesCount) {
    const EntryList list = pairs("&&a=1&a=2&");
    EXPECT_EQ(list.size(), 4u);
    EXPECT_EQ(util_getvalue(list, ""), "");
    EXPECT_EQ(util_getvalue(list, "a"), "1");
}

TEST(query_read, ZeroByteEndsNameAndValue) {
    EXPECT_EQ(value("ab%00cd=1&x=12%0034", "ab"), "1");
    EXPECT_EQ(value("ab%00cd=1&x=12%0034", "x"), "12");
}

// The body is read only for the exact method name POST, and for the
// length CONTENT_LENGTH announces; query-string pairs come first.
TEST(query_read, BodyOfExactlyPostAndItsLength) {
    MemoryChannel none({});
    EXPECT_TRUE(query_read(none).empty());
    for (const char* method : {"GET", "post", "PUT"}) {
        MemoryChannel channel({{"REQUEST_METHOD", method}, {"CONTENT_LENGTH", "3"}}, "a=1");
        EXPECT_TRUE(query_read(channel).empty()) << method;
        EXPECT_EQ(channel.taken(), 0u) << method;
    }
    for (const char* length : {"0", "-5", "abc", ""}) {
        MemoryChannel channel({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", length}}, "a=1");
        EXPECT_TRUE(query_read(channel).empty()) << length;
    }
    MemoryChannel post({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "7x"}, {"QUERY_STRING", "a=q"}}, "a=1&b=2trailing");
    const EntryList list = query_read(post);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(util_getvalue(list, "a"), "q");
    EXPECT_EQ(util_getvalue(list, "b"), "2");
    MemoryChannel short_body({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "10"}}, "a=1");
    EXPECT_EQ(error_message([&] { query_read(short_body); }), "Request body incomplete (3 of 10 bytes)");
    MemoryChannel large({{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "65537"}}, "a=1");
    EXPECT_EQ(error_message([&] { query_read(large); }), "Request body too large (65537 bytes, at most 65536)");
    EXPECT_EQ(large.taken(), 0u);
}

TEST(util_tolong, StrtolRules) {
    EXPECT_EQ(util_tolong("12abc"), 12);
    EXPECT_EQ(util_tolong("  \t-7"), -7);
    EXPECT_EQ(util_tolong("+8"), 8);
    EXPECT_EQ(util_tolong("abc"), 0);
    EXPECT_EQ(util_tolong(""), 0);
    EXPECT_EQ(util_tolong("- 5"), 0);
    EXPECT_EQ(util_tolong("0x10"), 0);
    EXPECT_EQ(util_tolong("99999999999999999999999"), LONG_MAX);
    EXPECT_EQ(util_tolong("-99999999999999999999999"), LONG_MIN);
}

TEST(util_safename, RefusesSlashAndTwoDots) {
    EXPECT_TRUE(util_safename("home"));
    EXPECT_TRUE(util_safename("a.b"));
    EXPECT_TRUE(util_safename(".hidden"));
    EXPECT_TRUE(util_safename(""));
    EXPECT_FALSE(util_safename("a/b"));
    EXPECT_FALSE(util_safename("/etc/passwd"));
    EXPECT_FALSE(util_safename(".."));
    EXPECT_FALSE(util_safename("a..b"));
    EXPECT_FALSE(util_safename("x/"));
}

// Name/value files and the configuration record built from them.
class ConfigFile : public ::testing::Test {
protected:
    TempSite site{false};
    EntryList read(const std::string& content) {
        site.write("vc.conf", content);
        return util_fdecoder(site.path("vc.conf").string());
    }
    CGICONFIG config(const std::string& content) { return config_fill(read(content)); }
};

void expect_defaults_but_dir_save(const CGICONFIG& c) {
    EXPECT_EQ(c.cginame, "VornCounter.cgi");
    EXPECT_EQ(c.dbfile_ext, "db");
    EXPECT_EQ(c.dir_digit, "./image/digits");
    EXPECT_EQ(c.default_digit, "d");
    EXPECT_EQ(c.default_cntlen, "6");
    EXPECT_EQ(c.rc_imgyear, "./image/resource/imgyear.rc");
    EXPECT_EQ(c.rc_imgmonth, "./image/resource/imgmonth.rc");
    EXPECT_EQ(c.rc_imgday, "./image/resource/imgday.rc");
}

TEST_F(ConfigFile, EmptyFileGivesEveryDefault) {
    EXPECT_TRUE(read("").empty());
    CGICONFIG c = config("");
    EXPECT_EQ(c.dir_save, "./save");
    expect_defaults_but_dir_save(c);
}

TEST_F(ConfigFile, MissingFileGivesEmptyList) {
    EXPECT_TRUE(util_fdecoder(site.path("absent.conf").string()).empty());
    EXPECT_EQ(util_filecheck(site.path("absent.conf").string()), 0);
    site.write("present", "");
    EXPECT_EQ(util_filecheck(site.path("present").string()), 1);
}

TEST_F(ConfigFile, OneKeySetsOnlyItsField) {
    CGICONFIG c = config("DIR_SAVE = /var/counter\n");
    EXPECT_EQ(c.dir_save, "/var/counter");
    expect_defaults_but_dir_save(c);
}

TEST_F(ConfigFile, EveryKeyReachesItsField) {
    CGICONFIG c = config(
        "CGINAME=1\nDBFILE_EXT=2\nDIR_SAVE=3\nDIR_DIGIT=4\nDEFAULT_DIGIT=5\n"
        "DEFAULT_CNTLEN=6x\nRC_IMGYEAR=7\nRC_IMGMONTH=8\nRC_IMGDAY=9\n");
    EXPECT_EQ(c.cginame, "1");
    EXPECT_EQ(c.dbfile_ext, "2");
    EXPECT_EQ(c.dir_save, "3");
    EXPECT_EQ(c.dir_digit, "4");
    EXPECT_EQ(c.default_digit, "5");
    EXPECT_EQ(c.default_cntlen, "6x");
    EXPECT_EQ(c.rc_imgyear, "7");
    EXPECT_EQ(c.rc_imgmonth, "8");
    EXPECT_EQ(c.rc_imgday, "9");
}

TEST_F(ConfigFile, KeysAreCaseSensitiveAndTheFirstWins) {
    EXPECT_EQ(config("dir_save = /x\n").dir_save, "./save");
    EXPECT_EQ(config("DIR_SAVE = /first\nDIR_SAVE = /second\n").dir_save, "/first");
}

TEST_F(ConfigFile, EmptyValueIsKeptNotDefaulted) {
    EXPECT_EQ(config("DIR_SAVE=\n").dir_save, "");
    EXPECT_EQ(config("DIR_SAVE\n").dir_save, "");
    EXPECT_EQ(config("DIR_SAVE").dir_save, "") << "last line without line feed";
}

TEST_F(ConfigFile, EverythingAfterTheFirstEqualsIsTheValue) {
    EXPECT_EQ(config("DIR_SAVE = ./save # data\n").dir_save, "./save # data");
    EXPECT_EQ(config("DIR_SAVE = a=b\n").dir_save, "a=b");
    EXPECT_EQ(config("DIR_SAVE = two  words \t\n").dir_save, "two  words");
}

TEST_F(ConfigFile, OnlyAHashInTheFirstColumnIsAComment) {
    EntryList l = read("#DIR_SAVE = /c\n  # DIR_SAVE = /d\n\n=v\n");
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].name, "# DIR_SAVE");
    EXPECT_EQ(l[0].value, "/d");
    EXPECT_EQ(l[1].name, "") << "a blank line is a pair with an empty name";
    EXPECT_EQ(l[1].value, "");
    EXPECT_EQ(l[2].name, "");
    EXPECT_EQ(l[2].value, "v");
    EXPECT_EQ(config_fill(l).dir_save, "./save");
}

TEST_F(ConfigFile, CrLfLinesMatchLfLines) {
    CGICONFIG c = config("DIR_SAVE = /crlf\r\nDBFILE_EXT=gdbm\r\n");
    EXPECT_EQ(c.dir_save, "/crlf");
    EXPECT_EQ(c.dbfile_ext, "gdbm");
}

TEST_F(ConfigFile, LongLinesAreReadInPiecesOf1000) {
    // 1000 characters make the first piece; the rest is a line of its own.
    std::string line = "DIR_DIGIT=" + std::string(990, 'a') + "DIR_SAVE=/tail\n";
    EntryList l = read(line + "DBFILE_EXT=x\n");
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].name, "DIR_DIGIT");
    EXPECT_EQ(l[0].value, std::string(990, 'a'));
    EXPECT_EQ(l[1].name, "DIR_SAVE");
    EXPECT_EQ(l[1].value, "/tail");
    EXPECT_EQ(l[2].value, "x");
    // A piece that starts with "#" is a comment of its own.
    l = read("A=" + std::string(998, 'b') + "#B=1\n");
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].value, std::string(998, 'b'));
}

TEST_F(ConfigFile, LookupTakesTheFirstPair) {
    EntryList l = read("a = 1\nb = 2\na = 3\n");
    EXPECT_EQ(util_getvalue(l, "a"), "1");
    EXPECT_EQ(util_getvalue(l, "b"), "2");
    EXPECT_EQ(util_getvalue(l, "c"), std::nullopt);
}

}  // namespace
}  // namespace vorn::test

namespace vorn::test {
namespace {

// The digests of FIPS 180's examples and of texts on either side of a
// block's end, where the padding takes a second block.
TEST(sha1_hex, KnownDigests) {
    EXPECT_EQ(sha1_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex(std::string(55, 'a')), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(sha1_hex(std::string(64, 'a')), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
    EXPECT_EQ(sha1_hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

}  // namespace
}  // namespace vorn::test
