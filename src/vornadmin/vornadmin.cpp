// SPDX-License-Identifier: GPL-3.0-or-later
// vornadmin: the operator's console for creating and deleting counter
// databases. One action per run, Korean texts in EUC-KR, exit status 0
// whatever happens. It works on save/NAME.db under the working directory,
// the place vorncounter finds with its default configuration.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <optional>
#include <string>

#include "gdbm/dbutil.h"
#include "base/util.h"

namespace {

constexpr char kSaveDir[] = "save/";
constexpr char kDbExt[] = "db";

// The path "save/NAME.db" fits a buffer of 255 characters with its
// terminating zero. The name is bounded further, as every program bounds
// it, so that the files kept beside the counter file (its journal, the
// originals a recovery keeps) fit a file name as well.
constexpr std::size_t kPathBuffer = 255;
constexpr std::size_t kMaxName = vorn::dbutil_maxname(sizeof kDbExt - 1);
static_assert(kMaxName == 240, "the too-long message names 240 characters");
static_assert((sizeof kSaveDir - 1) + kMaxName + 1 + (sizeof kDbExt - 1) < kPathBuffer, "the path fits its buffer");

constexpr int kFrameWidth = 80;
constexpr char kTitle[] = "=    VornCounter Database Manager                                              =\n";

// Each prompt is written whole, then again up to its opening bracket after
// a carriage return, so the cursor stands on the first underscore.
constexpr char kMenuPrompt[] = " Select number : [_]\r Select number : [";
constexpr char kCreatePrompt[] = " Create DataBase Name : [__________]\r Create DataBase Name : [";
constexpr char kDeletePrompt[] = " Delete DataBase Name : [__________]\r Delete DataBase Name : [";

constexpr char kThanks[] = "Thank you ...\n";

// " 1. DB 생성" (create)
constexpr char kMenuCreate[] = " 1. DB \xbb\xfd\xbc\xba\n";
// " 2. DB 삭제" (delete)
constexpr char kMenuDelete[] = " 2. DB \xbb\xe8\xc1\xa6\n";
// " 0. 종료" (quit)
constexpr char kMenuQuit[] = " 0. \xc1\xbe\xb7\xe1\n";
// "같은 이름을 가진 DB가 이미 존재합니다." (a database of that name already exists)
constexpr char kMsgExists[] =
    "\xb0\xb0\xc0\xba \xc0\xcc\xb8\xa7\xc0\xbb \xb0\xa1\xc1\xf8 DB\xb0\xa1 \xc0\xcc\xb9\xcc "
    "\xc1\xb8\xc0\xe7\xc7\xd5\xb4\xcf\xb4\xd9.\n";
// "DB생성을 실패하였습니다. 다시 시도해 보기 바랍니다." (creation failed; please try again)
constexpr char kMsgCreateFailed[] =
    "DB\xbb\xfd\xbc\xba\xc0\xbb \xbd\xc7\xc6\xd0\xc7\xcf\xbf\xb4\xbd\xc0\xb4\xcf\xb4\xd9. "
    "\xb4\xd9\xbd\xc3 \xbd\xc3\xb5\xb5\xc7\xd8 \xba\xb8\xb1\xe2 \xb9\xd9\xb6\xf8\xb4\xcf\xb4\xd9.\n";
// "DB를 삭제할 수 없습니다." (the database cannot be deleted)
constexpr char kMsgCannotDelete[] = "DB\xb8\xa6 \xbb\xe8\xc1\xa6\xc7\xd2 \xbc\xf6 \xbe\xf8\xbd\xc0\xb4\xcf\xb4\xd9.\n";
// "DB 이름이 너무 깁니다. (240자 이하)" (the name is too long; 240 characters at most)
constexpr char kMsgNameTooLong[] = "DB \xc0\xcc\xb8\xa7\xc0\xcc \xb3\xca\xb9\xab \xb1\xe9\xb4\xcf\xb4\xd9. (240\xc0\xda \xc0\xcc\xc7\xcf)\n";

// "DB 이름에 '/'나 '..'를 쓸 수 없습니다." (a DB name may not hold '/' or '..')
constexpr char kMsgBadName[] =
    "DB \xc0\xcc\xb8\xa7\xbf\xa1 '/'\xb3\xaa '..'\xb8\xa6 \xbe\xb5 \xbc\xf6 "
    "\xbe\xf8\xbd\xc0\xb4\xcf\xb4\xd9.\n";

void put(const char* text) { std::fputs(text, stdout); }

// One character of the menu, with the prompt visible before the read.
int read_choice() {
    std::fflush(stdout);
    return std::getchar();
}

// One word as scanf's "%s" reads it: white space (the line end left after
// the menu choice included) is skipped, the word ends before the next white
// space, which stays unread. Nothing when the input ends before a word. A
// longer word than kMaxName is read to its end, but only kMaxName + 1 of its
// characters are kept: enough to tell that it is too long.
std::optional<std::string> read_name() {
    std::fflush(stdout);
    int c;
    do {
        c = std::getchar();
    } while (c != EOF && std::isspace(c));
    if (c == EOF) return std::nullopt;
    std::string name;
    for (; c != EOF && !std::isspace(c); c = std::getchar()) {
        if (name.size() <= kMaxName) name.push_back(static_cast<char>(c));
    }
    if (c != EOF) std::ungetc(c, stdin);
    return name;
}

// Reads the name after `prompt`; nothing when the input ended or the name
// was refused (the refusal has been written).
std::optional<std::string> ask_name(const char* prompt) {
    put(prompt);
    std::optional<std::string> name = read_name();
    if (name && name->size() > kMaxName) {
        put(kMsgNameTooLong);
        return std::nullopt;
    }
    // The name becomes part of the path: one that could leave save/ is
    // refused, as vorncounter refuses it.
    if (name && !vorn::util_safename(*name)) {
        put(kMsgBadName);
        return std::nullopt;
    }
    return name;
}

std::string db_path(const std::string& name) {
    char buff[kPathBuffer];
    std::snprintf(buff, sizeof buff, "%s%s.%s", kSaveDir, name.c_str(), kDbExt);
    return buff;
}

void createdb() {
    const std::optional<std::string> name = ask_name(kCreatePrompt);
    if (!name) return;
    const std::string buff = db_path(*name);
    if (vorn::util_filecheck(buff)) {
        put(kMsgExists);
        return;
    }
    if (vorn::dbutil_create(buff) == 1) {
        // "DB가 생성되었습니다. (%s.%s)" (the database has been created)
        std::printf("DB\xb0\xa1 \xbb\xfd\xbc\xba\xb5\xc7\xbe\xfa\xbd\xc0\xb4\xcf\xb4\xd9. (%s.%s)\n",
                    name->c_str(), kDbExt);
        put(kThanks);
    } else {
        put(kMsgCreateFailed);
    }
}

// Removes the file without a lock or a confirmation: a counter that a
// request has open at this moment is deleted all the same.
void deletedb() {
    const std::optional<std::string> name = ask_name(kDeletePrompt);
    if (!name) return;
    const std::string buff = db_path(*name);
    if (!vorn::util_filecheck(buff)) {
        put(kMsgCannotDelete);
        // "DB파일('%s')이 존재하지 않습니다." (the database file does not exist)
        std::printf("DB\xc6\xc4\xc0\xcf('%s')\xc0\xcc \xc1\xb8\xc0\xe7\xc7\xcf\xc1\xf6 \xbe\xca\xbd\xc0\xb4\xcf\xb4\xd9.\n",
                    buff.c_str());
        return;
    }
    if (unlink(buff.c_str()) == 0) {
        // "DB가 삭제되었습니다. (%s.%s)" (the database has been deleted)
        std::printf("DB\xb0\xa1 \xbb\xe8\xc1\xa6\xb5\xc7\xbe\xfa\xbd\xc0\xb4\xcf\xb4\xd9. (%s.%s)\n",
                    name->c_str(), kDbExt);
        put(kThanks);
    } else {
        put(kMsgCannotDelete);
        // "'%s' 파일에 대한 접근권한을 확인해 보시기 바랍니다." (please check the
        // access rights of the file)
        std::printf("'%s' \xc6\xc4\xc0\xcf\xbf\xa1 \xb4\xeb\xc7\xd1 \xc1\xa2\xb1\xd9\xb1\xc7\xc7\xd1\xc0\xbb "
                    "\xc8\xae\xc0\xce\xc7\xd8 \xba\xb8\xbd\xc3\xb1\xe2 \xb9\xd9\xb6\xf8\xb4\xcf\xb4\xd9.\n",
                    buff.c_str());
    }
}

}  // namespace

int main() {
    const std::string frame = std::string(kFrameWidth, '=') + "\n";
    put(frame.c_str());
    put(kTitle);
    put(frame.c_str());
    put(kMenuCreate);
    put(kMenuDelete);
    put(kMenuQuit);
    put("\n");

    for (;;) {
        put(kMenuPrompt);
        switch (read_choice()) {
        case '1':
            createdb();
            put("\n");
            return 0;
        case '2':
            deletedb();
            put("\n");
            return 0;
        case '0':
            return 0;
        case EOF:
            // The input has ended: no choice will ever come.
            put("\n");
            return 0;
        default:
            put("\r");
            break;
        }
    }
}
