#include <gdbm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "dbutil.h"
#include "harness.h"
#include "journal.h"

namespace vorn::test {
namespace {

// A text as the database holds it: with its terminating zero byte.
std::string stored(const std::string& text) { return text + '\0'; }

// Another process holding the database open in a gdbm mode. It opens the
// file before the constructor returns and holds it until release(), or
// for `hold_seconds` when that is given.
class Holder {
public:
    Holder(const std::string& path, int mode, unsigned hold_seconds = 0) {
        int ready[2], gate[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(gate), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(gate[1]);
            GDBM_FILE dbf = gdbm_open(path.c_str(), 0, mode, 0, nullptr);
            char opened = dbf ? '1' : '0';
            if (write(ready[1], &opened, 1) != 1) _exit(2);
            char c;
            if (hold_seconds > 0) {
                sleep(hold_seconds);
            } else if (read(gate[0], &c, 1) < 0) {
                _exit(2);
            }
            if (dbf) gdbm_close(dbf);
            _exit(0);
        }
        close(ready[1]);
        close(gate[0]);
        gate_ = gate[1];
        char opened = '0';
        EXPECT_EQ(read(ready[0], &opened, 1), 1);
        close(ready[0]);
        held_ = opened == '1';
    }
    ~Holder() { release(); }
    bool held() const { return held_; }
    // True while the holder still runs, so it still holds the file.
    bool holding() const {
        siginfo_t info{};
        return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    }
    void release() {
        if (pid_ <= 0) return;
        close(gate_);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int gate_ = -1;
    bool held_ = false;
};

class Dbutil : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(dbutil_create(db), 1); }
    void TearDown() override {
        // A test that failed half-way must not leave its handle to the next.
        if (open_) dbutil_close();
    }
    void open(int stat) {
        dbutil_open(db, stat);
        open_ = true;
    }
    void close() {
        dbutil_close();
        open_ = false;
    }
    void put(const std::string& key, const std::string& value) {
        open(GDBM_WRITER);
        dbutil_store(key, value, GDBM_REPLACE);
        close();
    }

    TempSite site{false};
    std::string db = site.path("save/c.db").string();
    bool open_ = false;
};

TEST_F(Dbutil, RecordsHoldTheirZeroBytes) {
    open(GDBM_WRITER);
    dbutil_store("totcnt", "12", GDBM_REPLACE);
    close();

    open(GDBM_READER);
    EXPECT_EQ(dbutil_fetch("%s", "totcnt"), "12");
    EXPECT_EQ(dbutil_fetch("%s", "never"), std::nullopt);
    EXPECT_EQ(dbutil_fetch("%s", "totcn"), std::nullopt);
    close();

    // Read without this module: 7 key bytes, 3 value bytes.
    std::map<std::string, std::string> records = dump_db(db);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.begin()->first, stored("totcnt"));
    EXPECT_EQ(records.begin()->first.size(), 7u);
    EXPECT_EQ(records.begin()->second, stored("12"));
    EXPECT_EQ(records.begin()->second.size(), 3u);
}

TEST_F(Dbutil, ReplaceOverwritesAndDeleteRemoves) {
    put("2001/03/11/09", "4");
    put("2001/03/11/09", "5");
    put("startdate", "2001/03/11/09");

    open(GDBM_WRITER);
    EXPECT_EQ(dbutil_fetch("%s", "2001/03/11/09"), "5");
    EXPECT_EQ(dbutil_delete("%s", "startdate"), 0);
    EXPECT_EQ(dbutil_delete("%s", "startdate"), -1);
    EXPECT_EQ(dbutil_delete("%s", "nothing"), -1);
    EXPECT_EQ(dbutil_fetch("%s", "startdate"), std::nullopt);
    close();

    EXPECT_EQ(dump_db(db), (std::map<std::string, std::string>{{stored("2001/03/11/09"), stored("5")}}));
}

TEST_F(Dbutil, KeysAreFormattedOrTakenVerbatim) {
    put("2001/03/11/05", "7");
    put("100%d/%s%n", "3");

    open(GDBM_READER);
    // A format builds the key from its arguments.
    EXPECT_EQ(dbutil_fetch("%s/0%d", "2001/03/11", 5), "7");
    EXPECT_EQ(dbutil_fetch("%s/%d", "2001/03/11", 5), std::nullopt);
    // A complete key text is the argument of "%s": its "%" stays a "%".
    EXPECT_EQ(dbutil_fetch("%s", "100%d/%s%n"), "3");
    EXPECT_EQ(dbutil_fetch("%s", "100%d/%s"), std::nullopt);
    close();
}

TEST_F(Dbutil, ValueEndsAtItsZeroByteOrItsSize) {
    // Records written by another program: one without a zero byte, one with
    // bytes after it.
    GDBM_FILE dbf = gdbm_open(db.c_str(), 0, GDBM_WRITER, 0, nullptr);
    ASSERT_NE(dbf, nullptr);
    char bare[] = "42", inner[] = "7\0junk";
    char k1[] = "bare", k2[] = "inner";
    ASSERT_EQ(gdbm_store(dbf, datum{k1, 5}, datum{bare, 2}, GDBM_REPLACE), 0);
    ASSERT_EQ(gdbm_store(dbf, datum{k2, 6}, datum{inner, 7}, GDBM_REPLACE), 0);
    gdbm_close(dbf);

    open(GDBM_READER);
    EXPECT_EQ(dbutil_fetch("%s", "bare"), "42");
    EXPECT_EQ(dbutil_fetch("%s", "inner"), "7");
    close();
}

TEST_F(Dbutil, KeyLongerThanTheBufferIsRefusedWhole) {
    const std::string longest(kMaxKey, 'k');
    put(longest, "1");
    open(GDBM_READER);
    EXPECT_EQ(dbutil_fetch("%s", longest.c_str()), "1");
    close();

    const std::string over = longest + "k";
    EXPECT_TRUE(is_error_image(error_answer(site,
                                            [&] {
                                                dbutil_open(db, GDBM_READER);
                                                dbutil_fetch("%s", over.c_str());
                                            }),
                               "DB key too long (1020 characters, at most 1019)"));
    // The full formatted length is measured, far past the buffer.
    const std::string half(3000, 'h');
    EXPECT_TRUE(is_error_image(error_answer(site,
                                            [&] {
                                                dbutil_open(db, GDBM_WRITER);
                                                dbutil_delete("%s/%s", half.c_str(), half.c_str());
                                            }),
                               "DB key too long (6001 characters, at most 1019)"));
}

TEST_F(Dbutil, OperationsInTheWrongStateEndInTheirMessages) {
    EXPECT_TRUE(is_error_image(error_answer(site, [] { dbutil_close(); }),
                               "DB close error. There is no database to close."));
    EXPECT_TRUE(is_error_image(error_answer(site, [] { dbutil_fetch("%s", "totcnt"); }),
                               "DB fetch error. There is no opened database."));
    EXPECT_TRUE(is_error_image(error_answer(site, [] { dbutil_store("totcnt", "1", GDBM_REPLACE); }),
                               "DB store error. There is no opened database."));
    EXPECT_TRUE(is_error_image(error_answer(site, [] { dbutil_delete("%s", "totcnt"); }),
                               "DB delete error. There is no opened database."));
    EXPECT_TRUE(is_error_image(error_answer(site,
                                            [&] {
                                                dbutil_open(db, GDBM_READER);
                                                dbutil_open(db, GDBM_READER);
                                            }),
                               "DB oepn error. There is already opened database."));
}

TEST_F(Dbutil, RefusedStoreEndsInGdbmText) {
    put("totcnt", "1");
    EXPECT_TRUE(is_error_image(error_answer(site,
                                            [&] {
                                                dbutil_open(db, GDBM_READER);
                                                dbutil_store("totcnt", "2", GDBM_REPLACE);
                                            }),
                               "DB Error!! (Reader can't store)"));
    EXPECT_TRUE(is_error_image(error_answer(site,
                                            [&] {
                                                dbutil_open(db, GDBM_WRITER);
                                                dbutil_store("totcnt", "2", GDBM_INSERT);
                                            }),
                               "DB Error!! (Cannot replace)"));
    EXPECT_EQ(dump_db(db), (std::map<std::string, std::string>{{stored("totcnt"), stored("1")}}));
}

TEST_F(Dbutil, CreateLeavesAnyExistingFileAlone) {
    put("totcnt", "12");
    const std::string before = site.read("save/c.db");
    EXPECT_EQ(dbutil_create(db), 0);
    EXPECT_EQ(site.read("save/c.db"), before);

    site.write("save/text.db", "not a database\n");
    EXPECT_EQ(dbutil_create(site.path("save/text.db").string()), 0);
    EXPECT_EQ(site.read("save/text.db"), "not a database\n");

    EXPECT_EQ(dbutil_create(site.path("missing-dir/x.db").string()), 0);
    EXPECT_FALSE(fs::exists(site.path("missing-dir")));
}

TEST_F(Dbutil, CreatedDatabaseIsEmptyOpenableAndMode0644) {
    const std::string fresh = site.path("save/fresh.db").string();
    mode_t old = umask(022);
    EXPECT_EQ(dbutil_create(fresh), 1);
    umask(old);
    struct stat st{};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_TRUE(dump_db(fresh).empty());

    dbutil_open(fresh, GDBM_READER);
    EXPECT_EQ(dbutil_fetch("%s", "totcnt"), std::nullopt);
    dbutil_close();
    dbutil_open(fresh, GDBM_WRITER);
    dbutil_store("totcnt", "1", GDBM_REPLACE);
    dbutil_close();
    EXPECT_EQ(dump_db(fresh).size(), 1u);
}

TEST_F(Dbutil, ReadersShareAndWritersWaitForThem) {
    put("totcnt", "3");
    {
        // A second reader opens while the first still holds the file.
        Holder reader(db, GDBM_READER);
        ASSERT_TRUE(reader.held());
        open(GDBM_READER);
        EXPECT_TRUE(reader.holding());
        EXPECT_EQ(dbutil_fetch("%s", "totcnt"), "3");
        close();
    }
    {
        // A writer meets a reader that keeps the file for two seconds: its
        // open fails, is retried, and succeeds once the reader is gone.
        Holder reader(db, GDBM_READER, 2);
        ASSERT_TRUE(reader.held());
        open(GDBM_WRITER);
        dbutil_store("totcnt", "4", GDBM_REPLACE);
        close();
    }
    EXPECT_EQ(dump_db(db), (std::map<std::string, std::string>{{stored("totcnt"), stored("4")}}));
}

}  // namespace
}  // namespace vorn::test

namespace vorn::test {
namespace {

// The walk shows what fetches show: every record once, texts without their
// zero byte, a record stored without one marked, and in a reader the
// records of an interrupted change as they were before it.
TEST_F(Dbutil, WalkShowsEveryRecordAsReadersSeeIt) {
    put("totcnt", "6");
    put("2001/03/11/09", "6");
    put("added", "by the change");
    GDBM_FILE raw = gdbm_open(db.c_str(), 0, GDBM_WRITER, 0, nullptr);
    ASSERT_NE(raw, nullptr);
    datum key{const_cast<char*>("bare"), 4}, value{const_cast<char*>("xy"), 2};
    ASSERT_EQ(gdbm_store(raw, key, value, GDBM_REPLACE), 0);
    gdbm_close(raw);
    // The change raised the total, added a record and removed the start
    // date, and ended before its journal was removed.
    ASSERT_EQ(journal_write(db, {{"totcnt", std::string("5"), std::string("6")},
                                 {"added", std::nullopt, std::string("by the change")},
                                 {"startdate", std::string("2001/03/11/09"), std::nullopt}}, getuid(), getgid()).error,
              0);

    const auto walk = [&] {
        std::map<std::string, std::string> seen;
        dbutil_walk([&](const DbRecord& r) {
            EXPECT_TRUE(seen.emplace(r.key, r.value + (r.text ? "" : " (raw)")).second) << r.key;
        });
        return seen;
    };
    open(GDBM_READER);
    EXPECT_TRUE(dbutil_interrupted());
    EXPECT_EQ(walk(), (std::map<std::string, std::string>{{"totcnt", "5"},
                                                          {"2001/03/11/09", "6"},
                                                          {"startdate", "2001/03/11/09"},
                                                          {"bare", "xy (raw)"}}));
    close();
    // A writer undoes the change; the walk then shows the file itself.
    open(GDBM_WRITER);
    EXPECT_FALSE(dbutil_interrupted());
    EXPECT_EQ(walk(), (std::map<std::string, std::string>{{"totcnt", "5"},
                                                          {"2001/03/11/09", "6"},
                                                          {"startdate", "2001/03/11/09"},
                                                          {"bare", "xy (raw)"}}));
    close();
}

}  // namespace
}  // namespace vorn::test
