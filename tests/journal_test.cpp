// SPDX-License-Identifier: GPL-3.0-or-later
// The undo journal beside a counter file: what a change writes before its
// stores, and what readers and the next writer make of it.
#include <gdbm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "gdbm/dbutil.h"
#include "gdbm/journal.h"
#include "harness.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;

const Journal kVisit = {
    {"totcnt", "41", "42"},
    {"2001/03/11/09", "41", "42"},
    {"startdate", std::nullopt, "2001/03/11/09"},
};

class StoreChange : public testing::Test {
protected:
    void SetUp() override {
        site.create_counter("c");
        store_records(db, {{"totcnt", "41"}, {"2001/03/11/09", "41"}});
    }
    std::optional<std::string> read(const std::string& key) {
        DbFile file = dbutil_open(db, DbMode::kRead);
        return dbutil_fetch(file, key);
    }
    // Opens and closes for writing: what the next visitor's open does.
    void next_writer() { DbFile file = dbutil_open(db, DbMode::kWrite); }
    // The journal of a change that was killed before its first store.
    std::string journal_bytes(const Journal& journal) {
        EXPECT_EQ(journal_write(db, journal, getuid(), getgid()).error, 0);
        return site.read("save/c.db-journal");
    }

    TempSite site{false};
    std::string db = site.path("save/c.db").string();
};

TEST_F(StoreChange, ReadsBackWhatWasWrittenWithEveryByte) {
    const Journal odd = {{std::string("a\0b", 3), std::string(70000, '\n'), std::string()},
                         {"gone", std::string("x"), std::nullopt}};
    ASSERT_EQ(journal_write(db, odd, getuid(), getgid()).error, 0);
    Journal back;
    ASSERT_EQ(journal_read(db, back), JournalState::kComplete);
    ASSERT_EQ(back.size(), odd.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        EXPECT_EQ(back[i].key, odd[i].key);
        EXPECT_EQ(back[i].before, odd[i].before);
        EXPECT_EQ(back[i].after, odd[i].after);
    }
    // A shorter journal written over a longer one leaves nothing of it.
    ASSERT_EQ(journal_write(db, kVisit, getuid(), getgid()).error, 0);
    ASSERT_EQ(journal_read(db, back), JournalState::kComplete);
    EXPECT_EQ(back.size(), kVisit.size());
}

// A writer that died while writing its journal had not touched the counter
// file yet: every shorter piece, or any changed byte, guards nothing.
TEST_F(StoreChange, JournalCutShortOrChangedGuardsNothing) {
    const std::string bytes = journal_bytes(kVisit);
    Journal back;
    for (std::size_t n = 1; n < bytes.size(); ++n) {
        site.write("save/c.db-journal", bytes.substr(0, n));
        EXPECT_EQ(journal_read(db, back), JournalState::kIncomplete) << n;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::string changed = bytes;
        changed[i] ^= 0x01;
        site.write("save/c.db-journal", changed);
        EXPECT_EQ(journal_read(db, back), JournalState::kIncomplete) << i;
    }
    // An empty journal is the journal of no change.
    site.write("save/c.db-journal", "");
    EXPECT_EQ(journal_read(db, back), JournalState::kNone);

    site.write("save/c.db-journal", bytes.substr(0, bytes.size() - 3));
    next_writer();
    EXPECT_EQ(read("totcnt"), "41");
    EXPECT_TRUE(journal_idle(journal_path(db)));
}

TEST_F(StoreChange, IsWrittenWholeAndLeavesTheJournalEmpty) {
    {
        DbFile file = dbutil_open(db, DbMode::kWrite);
        dbutil_update(file, {{"totcnt", "42"}, {"2001/03/11/09", "42"}, {"startdate", "2001/03/11/09"}});
        dbutil_update(file, {{"startdate", std::nullopt}, {"never", std::nullopt}});
    }
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("42")}, {stored("2001/03/11/09"), stored("42")}}));
    EXPECT_TRUE(fs::exists(journal_path(db)));
    EXPECT_TRUE(journal_idle(journal_path(db)));
}

// A writer killed after its first store: the file holds the new total but
// the old hour. Readers see the visit not at all; the next writer undoes it.
TEST_F(StoreChange, InterruptedChangeIsHiddenThenUndone) {
    ASSERT_EQ(journal_write(db, kVisit, getuid(), getgid()).error, 0);
    store_records(db, {{"totcnt", "42"}});

    EXPECT_EQ(read("totcnt"), "41");
    EXPECT_EQ(read("2001/03/11/09"), "41");
    EXPECT_EQ(read("startdate"), std::nullopt);
    EXPECT_FALSE(journal_idle(journal_path(db))) << "a reader must not clear the journal";

    next_writer();
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("41")}, {stored("2001/03/11/09"), stored("41")}}));
    EXPECT_TRUE(journal_idle(journal_path(db)));
}

// A journal whose records hold neither their before- nor their after-image
// belongs to another file (the counter was deleted and created anew): it is
// not applied, and the next writer clears it.
TEST_F(StoreChange, ForeignJournalIsNotApplied) {
    ASSERT_EQ(journal_write(db, {{"totcnt", "7", "8"}, {"2001/03/11/09", "41", "42"}}, getuid(), getgid()).error, 0);
    EXPECT_EQ(read("totcnt"), "41");
    next_writer();
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("41")}, {stored("2001/03/11/09"), stored("41")}}));
    EXPECT_TRUE(journal_idle(journal_path(db)));
}

// A process that ends while gdbm extends the file leaves it longer than
// its header says; gdbm then refuses to use it until it is recovered. A
// reader names the state, the next writer recovers the file and keeps the
// damaged original beside it.
TEST_F(StoreChange, FileNeedingRecoveryIsRecoveredByTheNextWriter) {
    std::string bytes = site.read("save/c.db");
    bytes += std::string(1024, 'x');
    site.write("save/c.db", bytes);

    EXPECT_EQ(error_message([&] { read("totcnt"); }), "DB open error. Database needs recovery (" + db + ")");
    {
        DbFile file = dbutil_open(db, DbMode::kWrite);
        dbutil_update(file, {{"totcnt", "42"}, {"2001/03/11/09", "42"}});
    }
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("42")}, {stored("2001/03/11/09"), stored("42")}}));
    EXPECT_EQ(site.read("save/c.db.damaged"), bytes);
    EXPECT_EQ(read("totcnt"), "42");
}

}  // namespace
}  // namespace vorn::test
