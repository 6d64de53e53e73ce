#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <string>

#include "harness.h"
#include "util.h"
#include "vc.h"

namespace vorn::test {
namespace {

// Sets the CGI variables of one request for the in-process decoder and
// restores a clean state afterwards. Only GET pairs are decoded here: the
// POST body is covered end to end, where standard input is the request's.
class RequestDecoding : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        unsetenv("QUERY_STRING");
        unsetenv("REQUEST_METHOD");
        unsetenv("CONTENT_LENGTH");
        util_entryfree();
    }
    static void query(const std::string& q) { setenv("QUERY_STRING", q.c_str(), 1); }
};

std::string decoded(std::string s) {
    _util_decodequery(s);
    return s;
}

TEST(_util_x2c, HexDigitsInEitherCase) {
    EXPECT_EQ(_util_x2c('4', '1'), 'A');
    EXPECT_EQ(_util_x2c('4', 'a'), 'J');
    EXPECT_EQ(_util_x2c('4', 'A'), 'J');
    EXPECT_EQ(_util_x2c('f', 'F'), '\xff');
    EXPECT_EQ(_util_x2c('0', '0'), '\0');
}

TEST(_util_x2c, NonHexCharactersFollowTheSameArithmetic) {
    EXPECT_EQ(_util_x2c('z', 'z'), 'S');  // 16*35+35 = 595 = 0x253
    // '%' (37) counts from '0': 16*(-11)+4 = -172, modulo 256 is 84.
    EXPECT_EQ(_util_x2c('%', '4'), 'T');
    // A byte above 0x7f is negative as a signed 8-bit number: 0xC1 - 48.
    // A byte above 0x7f is negative as a signed 8-bit number: 0xC1 is -63,
    // its value -111, and 16 * -111 modulo 256 is 0x10.
    EXPECT_EQ(_util_x2c(0xC1, '0'), '\x10');
}

TEST(_util_decodequery, EscapesAndPlus) {
    EXPECT_EQ(decoded("%41%42"), "AB");
    EXPECT_EQ(decoded("%2B"), "+");
    EXPECT_EQ(decoded("a+b"), "a b");
    EXPECT_EQ(decoded("%zz"), "S");
    EXPECT_EQ(decoded("100%25"), "100%");
    EXPECT_EQ(decoded("%2541"), "%41");  // decoded once, not twice
}

TEST(_util_decodequery, ZeroByteEndsTheText) {
    EXPECT_EQ(decoded("ab%00cd"), "ab");
    EXPECT_EQ(decoded("%00"), "");
    EXPECT_EQ(decoded(std::string("ab\0cd", 5)), "ab");
}

TEST(_util_decodequery, IncompleteEscapeAtTheEndIsKept) {
    EXPECT_EQ(decoded("abc%"), "abc%");
    EXPECT_EQ(decoded("abc%4"), "abc%4");
    EXPECT_EQ(decoded("%"), "%");
    EXPECT_EQ(decoded("%%41"), "T1");  // a complete escape, of non-hex "%4"
    EXPECT_EQ(decoded("%41%4"), "A%4");
}

TEST(_util_makeword, SplitsAtTheFirstStop) {
    std::string s = "a=b=c";
    EXPECT_EQ(_util_makeword(s, '='), "a");
    EXPECT_EQ(s, "b=c");
    s = "mode";
    EXPECT_EQ(_util_makeword(s, '='), "mode");
    EXPECT_EQ(s, "");
    s = "&x";
    EXPECT_EQ(_util_makeword(s, '&'), "");
    EXPECT_EQ(s, "x");
    s = "x&";
    EXPECT_EQ(_util_makeword(s, '&'), "x");
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

TEST_F(RequestDecoding, PairsAndLookups) {
    query("vdb=a&mode=date");
    EXPECT_EQ(util_getvalue("mode"), "date");
    EXPECT_EQ(util_getvalue("vdb"), "a");
    EXPECT_EQ(util_getvalue("style"), std::nullopt);
    EXPECT_EQ(util_getvalue("Mode"), std::nullopt);
    EXPECT_EQ(_util_decoder(), -1) << "the list is built once";
}

TEST_F(RequestDecoding, EscapedSeparatorsAreData) {
    query("name=a%26b&a%3Db=c&x=b=c");
    EXPECT_EQ(util_getvalue("name"), "a&b");
    EXPECT_EQ(util_getvalue("a=b"), "c");
    EXPECT_EQ(util_getvalue("x"), "b=c");
    EXPECT_EQ(util_getvalue("a"), std::nullopt);
}

TEST_F(RequestDecoding, PieceWithoutEqualsHasEmptyValue) {
    query("mode&vdb=x");
    EXPECT_EQ(util_getvalue("mode"), "");
    EXPECT_EQ(util_getvalue("vdb"), "x");
}

TEST_F(RequestDecoding, BlanksFromPlusAndEscapesAreTrimmedAfterDecoding) {
    query("+mode+=+date+&%20vdb%20=%20x%20y%20&%09t%0D%0A=%0Bv");
    EXPECT_EQ(util_getvalue("mode"), "date");
    EXPECT_EQ(util_getvalue("vdb"), "x y");
    EXPECT_EQ(util_getvalue("t"), "\vv");
}

TEST_F(RequestDecoding, FirstPairWinsAndEmptyPiecesCount) {
    query("&&a=1&a=2&");
    EXPECT_EQ(_util_decoder(), 4);
    EXPECT_EQ(util_getvalue(""), "");
    EXPECT_EQ(util_getvalue("a"), "1");
}

TEST_F(RequestDecoding, ZeroByteEndsNameAndValue) {
    query("ab%00cd=1&x=12%0034");
    EXPECT_EQ(util_getvalue("ab"), "1");
    EXPECT_EQ(util_getvalue("x"), "12");
}

TEST_F(RequestDecoding, NoSourceGivesNoPairsAndLookupsDecodeAgain) {
    EXPECT_EQ(util_getvalue("mode"), std::nullopt);
    query("");
    EXPECT_EQ(util_getvalue("mode"), std::nullopt);
    // While the list is empty every lookup decodes anew.
    query("mode=time");
    EXPECT_EQ(util_getvalue("mode"), "time");
    util_entryfree();
    query("mode=stat");
    EXPECT_EQ(util_getvalue("mode"), "stat");
}

TEST_F(RequestDecoding, GetQueryReadsOnlyExactMethodNames) {
    query("a=1");
    EXPECT_EQ(_util_getquery("GET"), "a=1");
    EXPECT_EQ(_util_getquery("get"), std::nullopt);
    EXPECT_EQ(_util_getquery("PUT"), std::nullopt);
    EXPECT_EQ(_util_getquery("POST"), std::nullopt) << "no REQUEST_METHOD";
    setenv("REQUEST_METHOD", "post", 1);
    EXPECT_EQ(_util_getquery("POST"), std::nullopt);
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_LENGTH", "0", 1);
    EXPECT_EQ(_util_getquery("POST"), "");
    // Each read takes the body once per request: release between them.
    for (const char* length : {"-5", "abc", ""}) {
        util_entryfree();
        setenv("CONTENT_LENGTH", length, 1);
        EXPECT_EQ(_util_getquery("POST"), "") << length;
    }
    util_entryfree();
    unsetenv("CONTENT_LENGTH");
    EXPECT_EQ(_util_getquery("POST"), "");
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
    CGICONFIG config(const std::string& content) { return _vc_fillconfiguration(read(content)); }
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
    EXPECT_EQ(_vc_fillconfiguration(l).dir_save, "./save");
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

TEST_F(ConfigFile, FgetvalueAndFentryfree) {
    EntryList l = read("a = 1\nb = 2\na = 3\n");
    EXPECT_EQ(util_fgetvalue(l, "a"), "1");
    EXPECT_EQ(util_fgetvalue(l, "b"), "2");
    EXPECT_EQ(util_fgetvalue(l, "c"), std::nullopt);
    util_fentryfree(l);
    EXPECT_TRUE(l.empty());
    EXPECT_EQ(util_fgetvalue(l, "a"), std::nullopt);
}

}  // namespace
}  // namespace vorn::test
