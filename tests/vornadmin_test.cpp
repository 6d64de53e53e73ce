// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

namespace vorn::test {
namespace {

// The screen and messages, byte for byte; the Korean texts in EUC-KR.
const std::string kScreen =
    std::string(80, '=') + "\n" +
    "=    VornCounter Database Manager                                              =\n" +
    std::string(80, '=') + "\n" +
    " 1. DB \xbb\xfd\xbc\xba\n"  // " 1. DB 생성"
    " 2. DB \xbb\xe8\xc1\xa6\n"  // " 2. DB 삭제"
    " 0. \xc1\xbe\xb7\xe1\n"     // " 0. 종료"
    "\n";
const std::string kMenu = " Select number : [_]\r Select number : [";
const std::string kCreate = " Create DataBase Name : [__________]\r Create DataBase Name : [";
const std::string kDelete = " Delete DataBase Name : [__________]\r Delete DataBase Name : [";
const std::string kThanks = "Thank you ...\n";

// "같은 이름을 가진 DB가 이미 존재합니다."
const std::string kExists =
    "\xb0\xb0\xc0\xba \xc0\xcc\xb8\xa7\xc0\xbb \xb0\xa1\xc1\xf8 DB\xb0\xa1 \xc0\xcc\xb9\xcc "
    "\xc1\xb8\xc0\xe7\xc7\xd5\xb4\xcf\xb4\xd9.\n";
// "DB생성을 실패하였습니다. 다시 시도해 보기 바랍니다."
const std::string kCreateFailed =
    "DB\xbb\xfd\xbc\xba\xc0\xbb \xbd\xc7\xc6\xd0\xc7\xcf\xbf\xb4\xbd\xc0\xb4\xcf\xb4\xd9. "
    "\xb4\xd9\xbd\xc3 \xbd\xc3\xb5\xb5\xc7\xd8 \xba\xb8\xb1\xe2 \xb9\xd9\xb6\xf8\xb4\xcf\xb4\xd9.\n";
// "DB를 삭제할 수 없습니다."
const std::string kCannotDelete = "DB\xb8\xa6 \xbb\xe8\xc1\xa6\xc7\xd2 \xbc\xf6 \xbe\xf8\xbd\xc0\xb4\xcf\xb4\xd9.\n";
// "DB 이름이 너무 깁니다. (246자 이하)"
const std::string kTooLong =
    "DB \xc0\xcc\xb8\xa7\xc0\xcc \xb3\xca\xb9\xab \xb1\xe9\xb4\xcf\xb4\xd9. (240\xc0\xda \xc0\xcc\xc7\xcf)\n";

// "DB 이름에 '/'나 '..'를 쓸 수 없습니다."
const std::string kBadName =
    "DB \xc0\xcc\xb8\xa7\xbf\xa1 '/'\xb3\xaa '..'\xb8\xa6 \xbe\xb5 \xbc\xf6 "
    "\xbe\xf8\xbd\xc0\xb4\xcf\xb4\xd9.\n";

// "DB가 생성되었습니다. (NAME.db)"
std::string created(const std::string& name) {
    return "DB\xb0\xa1 \xbb\xfd\xbc\xba\xb5\xc7\xbe\xfa\xbd\xc0\xb4\xcf\xb4\xd9. (" + name + ".db)\n";
}
// "DB가 삭제되었습니다. (NAME.db)"
std::string deleted(const std::string& name) {
    return "DB\xb0\xa1 \xbb\xe8\xc1\xa6\xb5\xc7\xbe\xfa\xbd\xc0\xb4\xcf\xb4\xd9. (" + name + ".db)\n";
}
// "DB파일('PATH')이 존재하지 않습니다."
std::string no_file(const std::string& path) {
    return "DB\xc6\xc4\xc0\xcf('" + path + "')\xc0\xcc \xc1\xb8\xc0\xe7\xc7\xcf\xc1\xf6 \xbe\xca\xbd\xc0\xb4\xcf\xb4\xd9.\n";
}
// "'PATH' 파일에 대한 접근권한을 확인해 보시기 바랍니다."
std::string check_access(const std::string& path) {
    return "'" + path +
           "' \xc6\xc4\xc0\xcf\xbf\xa1 \xb4\xeb\xc7\xd1 \xc1\xa2\xb1\xd9\xb1\xc7\xc7\xd1\xc0\xbb "
           "\xc8\xae\xc0\xce\xc7\xd8 \xba\xb8\xbd\xc3\xb1\xe2 \xb9\xd9\xb6\xf8\xb4\xcf\xb4\xd9.\n";
}

std::vector<std::string> saved_files(const TempSite& site) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(site.path("save"))) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// vornadmin reads no configuration: a bare directory with save/ will do.
class Vornadmin : public ::testing::Test {
protected:
    TempSite site{false};

    void expect_run(const std::string& input, const std::string& screen_after_menu) {
        RunResult r = run_admin(site, input);
        EXPECT_EQ(r.status, 0) << testing::PrintToString(input);
        EXPECT_EQ(r.out, kScreen + kMenu + screen_after_menu) << testing::PrintToString(input);
    }
};

TEST_F(Vornadmin, CreateCreateAgainDelete) {
    expect_run("1\ntest\n", kCreate + created("test") + kThanks + "\n");
    ASSERT_TRUE(fs::exists(site.path("save/test.db")));
    EXPECT_TRUE(dump_db(site.path("save/test.db")).empty()) << "a new counter holds no record";

    const std::string before = site.read("save/test.db");
    expect_run("1\ntest\n", kCreate + kExists + "\n");
    EXPECT_EQ(site.read("save/test.db"), before);

    expect_run("2\ntest\n", kDelete + deleted("test") + kThanks + "\n");
    EXPECT_FALSE(fs::exists(site.path("save/test.db")));

    expect_run("2\ntest\n", kDelete + kCannotDelete + no_file("save/test.db") + "\n");
}

TEST_F(Vornadmin, OneActionPerRun) {
    expect_run("0", "");
    expect_run("0\n1\ntest\n", "");
    expect_run("1\na\n1\nb\n", kCreate + created("a") + kThanks + "\n");
    EXPECT_EQ(saved_files(site), std::vector<std::string>{"a.db"});
}

TEST_F(Vornadmin, WrongChoiceRepeatsThePrompt) {
    // x and its line end are two wrong characters: the prompt comes twice.
    expect_run("x\n0", "\r" + kMenu + "\r" + kMenu);
    expect_run("3\n\n2\nnone\n",
               "\r" + kMenu + "\r" + kMenu + "\r" + kMenu + kDelete + kCannotDelete +
                   no_file("save/none.db") + "\n");
}

TEST_F(Vornadmin, NameIsOneWordLikeScanf) {
    expect_run("1\n  \t lead\n", kCreate + created("lead") + kThanks + "\n");
    expect_run("1\n\n\nab cd\n", kCreate + created("ab") + kThanks + "\n");
    expect_run("1 same-line\n", kCreate + created("same-line") + kThanks + "\n");
    // A name is an argument of the messages, never their format.
    expect_run("1\n%s%n%d\n", kCreate + created("%s%n%d") + kThanks + "\n");
    EXPECT_EQ(saved_files(site),
              (std::vector<std::string>{"%s%n%d.db", "ab.db", "lead.db", "same-line.db"}));
    expect_run("2\n\t%s%n%d  more\n", kDelete + deleted("%s%n%d") + kThanks + "\n");
}

TEST_F(Vornadmin, EndOfInputEndsTheRun) {
    expect_run("", "\n");
    expect_run("x", "\r" + kMenu + "\n");
    expect_run("1", kCreate + "\n");
    expect_run("1\n  \n\t", kCreate + "\n");
    expect_run("2\n", kDelete + "\n");
    EXPECT_TRUE(saved_files(site).empty());
    // A word cut by the end of input is still a name.
    expect_run("1\nlast", kCreate + created("last") + kThanks + "\n");
}

// The longest name leaves room for the journal and the copies of a
// recovery beside the file, so a counter it creates can count.
TEST_F(Vornadmin, NameLongerThan240IsRefused) {
    const std::string longest(240, 'n');
    expect_run("1\n" + longest + "\n", kCreate + created(longest) + kThanks + "\n");
    EXPECT_TRUE(fs::exists(site.path("save/" + longest + ".db")));

    expect_run("1\n" + std::string(241, 'x') + "\n", kCreate + kTooLong + "\n");
    expect_run("1\n" + std::string(100000, 'y'), kCreate + kTooLong + "\n");
    expect_run("2\n" + longest + "n\n", kDelete + kTooLong + "\n");
    EXPECT_EQ(saved_files(site), std::vector<std::string>{longest + ".db"});

    expect_run("2\n" + longest + "\n", kDelete + deleted(longest) + kThanks + "\n");
}

// A name that would leave save/ is refused before any path is built: no
// file is created or removed outside the save directory.
TEST_F(Vornadmin, NameLeavingTheSaveDirectoryIsRefused) {
    site.write("x.db", "outside");
    fs::create_directories(site.path("save/a"));
    site.write("save/a/b.db", "inside a directory");
    for (const char* name : {"../x", "a/b", "..", "a..b", "/tmp/x"}) {
        expect_run("1\n" + std::string(name) + "\n", kCreate + kBadName + "\n");
        expect_run("2\n" + std::string(name) + "\n", kDelete + kBadName + "\n");
    }
    EXPECT_EQ(site.read("x.db"), "outside");
    EXPECT_EQ(site.read("save/a/b.db"), "inside a directory");
    EXPECT_FALSE(fs::exists(site.path("save/...db")));
    EXPECT_EQ(saved_files(site), std::vector<std::string>{"a"});
    // Single dots stay allowed.
    expect_run("1\na.b\n", kCreate + created("a.b") + kThanks + "\n");
}

TEST_F(Vornadmin, FailuresAreReportedOnStandardOutput) {
    // save/x.db is a directory: it opens for reading but cannot be unlinked.
    fs::create_directories(site.path("save/x.db/inside"));
    expect_run("2\nx\n", kDelete + kCannotDelete + check_access("save/x.db") + "\n");
    EXPECT_TRUE(fs::exists(site.path("save/x.db/inside")));

    fs::remove_all(site.path("save"));
    expect_run("1\ntest\n", kCreate + kCreateFailed + "\n");
    EXPECT_FALSE(fs::exists(site.path("save")));
}

}  // namespace
}  // namespace vorn::test
