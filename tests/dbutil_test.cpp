// SPDX-License-Identifier: GPL-3.0-or-later
#include <gdbm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "gdbm/dbutil.h"
#include "gdbm/journal.h"
#include "harness.h"

namespace vorn::test {
namespace {

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
    // Writes one record as a change of its own.
    void put(const std::string& key, const std::optional<std::string>& value) {
        DbFile file = dbutil_open(db, DbMode::kWrite);
        dbutil_update(file, {{key, value}});
    }
    std::optional<std::string> get(const std::string& key) {
        DbFile file = dbutil_open(db, DbMode::kRead);
        return dbutil_fetch(file, key);
    }

    TempSite site{false};
    std::string db = site.path("save/c.db").string();
};

TEST_F(Dbutil, RecordsHoldTheirZeroBytes) {
    put("totcnt", "12");
    EXPECT_EQ(get("totcnt"), "12");
    EXPECT_EQ(get("never"), std::nullopt);
    EXPECT_EQ(get("totcn"), std::nullopt);

    // Read without this module: 7 key bytes, 3 value bytes.
    std::map<std::string, std::string> records = dump_db(db);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.begin()->first, stored("totcnt"));
    EXPECT_EQ(records.begin()->first.size(), 7u);
    EXPECT_EQ(records.begin()->second, stored("12"));
    EXPECT_EQ(records.begin()->second.size(), 3u);
}

TEST_F(Dbutil, ChangesReplaceAndRemoveRecordsAndKeysStayVerbatim) {
    put("2001/03/11/09", "4");
    put("2001/03/11/09", "5");
    put("startdate", "2001/03/11/09");
    put("100%d/%s%n", "3");
    put("startdate", std::nullopt);
    put("nothing", std::nullopt);
    EXPECT_EQ(get("2001/03/11/09"), "5");
    EXPECT_EQ(get("startdate"), std::nullopt);
    // A key is a text as it stands: its "%" stays a "%".
    EXPECT_EQ(get("100%d/%s%n"), "3");
    EXPECT_EQ(get("100%d/%s"), std::nullopt);
    EXPECT_EQ(dump_db(db), (std::map<std::string, std::string>{{stored("2001/03/11/09"), stored("5")},
                                                               {stored("100%d/%s%n"), stored("3")}}));
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
    EXPECT_EQ(get("bare"), "42");
    EXPECT_EQ(get("inner"), "7");
}

TEST_F(Dbutil, KeyLongerThanTheLimitIsRefusedWhole) {
    const std::string longest(kMaxKey, 'k');
    put(longest, "1");
    EXPECT_EQ(get(longest), "1");
    EXPECT_EQ(error_message([&] { get(longest + "k"); }), "DB key too long (1020 characters, at most 1019)");
    EXPECT_EQ(error_message([&] { get(std::string(6001, 'h')); }), "DB key too long (6001 characters, at most 1019)");
}

TEST_F(Dbutil, ReaderCannotChange) {
    put("totcnt", "1");
    EXPECT_EQ(error_message([&] {
                  DbFile file = dbutil_open(db, DbMode::kRead);
                  dbutil_update(file, {{"totcnt", "2"}});
              }),
              "DB Error!! (Reader can't store)");
    EXPECT_EQ(dump_db(db), (std::map<std::string, std::string>{{stored("totcnt"), stored("1")}}));
}

// A change that is not committed (its edit failed half-way) leaves the
// file as it was, and its journal guards nothing.
TEST_F(Dbutil, UncommittedChangeLeavesTheFileAsItWas) {
    put("totcnt", "1");
    {
        DbFile file = dbutil_open(db, DbMode::kWrite);
        DbTransaction change(file, {{"totcnt", "2"}, {"2001/03/11/09", "1"}});
        EXPECT_FALSE(journal_idle(journal_path(db)));
    }
    EXPECT_TRUE(journal_idle(journal_path(db)));
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

    {
        DbFile file = dbutil_open(fresh, DbMode::kRead);
        EXPECT_EQ(dbutil_fetch(file, "totcnt"), std::nullopt);
    }
    DbFile file = dbutil_open(fresh, DbMode::kWrite);
    dbutil_update(file, {{"totcnt", "1"}});
    dbutil_close(file);
    EXPECT_EQ(dump_db(fresh).size(), 1u);
}

TEST_F(Dbutil, ReadersShareAndWritersWaitForThem) {
    put("totcnt", "3");
    {
        // A second reader opens while the first still holds the file.
        Holder reader(db, GDBM_READER);
        ASSERT_TRUE(reader.held());
        DbFile file = dbutil_open(db, DbMode::kRead);
        EXPECT_TRUE(reader.holding());
        EXPECT_EQ(dbutil_fetch(file, "totcnt"), "3");
    }
    {
        // A writer meets a reader that keeps the file for two seconds: it
        // waits and gets in once the reader is gone.
        Holder reader(db, GDBM_READER, 2);
        ASSERT_TRUE(reader.held());
        put("totcnt", "4");
    }
    EXPECT_EQ(dump_db(db), (std::map<std::string, std::string>{{stored("totcnt"), stored("4")}}));
}

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
    // date, and ended before its journal was emptied.
    ASSERT_EQ(journal_write(db, {{"totcnt", std::string("5"), std::string("6")},
                                 {"added", std::nullopt, std::string("by the change")},
                                 {"startdate", std::string("2001/03/11/09"), std::nullopt}}, getuid(), getgid()).error,
              0);

    const auto walk = [&](DbMode mode) {
        DbFile file = dbutil_open(db, mode);
        EXPECT_EQ(file.overlay().empty(), mode == DbMode::kWrite);
        std::map<std::string, std::string> seen;
        dbutil_walk(file, [&](const DbRecord& r) {
            EXPECT_TRUE(seen.emplace(r.key, r.value + (r.text ? "" : " (raw)")).second) << r.key;
        });
        return seen;
    };
    const std::map<std::string, std::string> before = {
        {"totcnt", "5"}, {"2001/03/11/09", "6"}, {"startdate", "2001/03/11/09"}, {"bare", "xy (raw)"}};
    EXPECT_EQ(walk(DbMode::kRead), before);
    // A writer undoes the change; the walk then shows the file itself.
    EXPECT_EQ(walk(DbMode::kWrite), before);
}

}  // namespace
}  // namespace vorn::test
