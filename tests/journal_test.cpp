#include <gdbm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "dbutil.h"
#include "harness.h"
#include "journal.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;

// A text as the database holds it: with its terminating zero byte.
std::string stored(const std::string& text) { return text + '\0'; }

const Journal kVisit = {
    {"totcnt", "41", "42"},
    {"2001/03/11/09", "41", "42"},
    {"startdate", std::nullopt, "2001/03/11/09"},
};

TEST(StoreJournal, ReadsBackWhatWasWrittenAndNothingCutShort) {
    const std::string bytes = _journal_encode(kVisit);
    Journal back;
    ASSERT_EQ(_journal_decode(bytes, back), JournalState::kComplete);
    ASSERT_EQ(back.size(), kVisit.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        EXPECT_EQ(back[i].key, kVisit[i].key);
        EXPECT_EQ(back[i].before, kVisit[i].before);
        EXPECT_EQ(back[i].after, kVisit[i].after);
    }
    // A writer that died while writing its journal had not touched the
    // counter file yet: every shorter piece, or any changed byte, guards
    // nothing.
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_EQ(_journal_decode(bytes.substr(0, n), back), JournalState::kIncomplete) << n;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::string changed = bytes;
        changed[i] ^= 0x01;
        EXPECT_EQ(_journal_decode(changed, back), JournalState::kIncomplete) << i;
    }
}

TEST(StoreJournal, ValuesKeepEveryByte) {
    const Journal odd = {{std::string("a\0b", 3), std::string(70000, '\n'), std::string()}};
    Journal back;
    ASSERT_EQ(_journal_decode(_journal_encode(odd), back), JournalState::kComplete);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].key, odd[0].key);
    EXPECT_EQ(back[0].before, odd[0].before);
    EXPECT_EQ(back[0].after, std::string());
}

class StoreChange : public testing::Test {
protected:
    void SetUp() override {
        site.create_counter("c");
        store_records(db, {{"totcnt", "41"}, {"2001/03/11/09", "41"}});
    }
    void TearDown() override { dbutil_reset(); }
    std::optional<std::string> read(const std::string& key) {
        dbutil_open(db, GDBM_READER);
        std::optional<std::string> value = dbutil_fetch("%s", key.c_str());
        dbutil_close();
        return value;
    }
    // Opens and closes for writing: what the next visitor's open does.
    void next_writer() {
        dbutil_open(db, GDBM_WRITER);
        dbutil_close();
    }

    TempSite site{false};
    std::string db = site.path("save/c.db").string();
};

TEST_F(StoreChange, IsWrittenWholeAndLeavesNoJournal) {
    dbutil_open(db, GDBM_WRITER);
    dbutil_update({{"totcnt", "42"}, {"2001/03/11/09", "42"}, {"startdate", "2001/03/11/09"}});
    dbutil_update({{"startdate", std::nullopt}, {"never", std::nullopt}});
    dbutil_close();
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("42")}, {stored("2001/03/11/09"), stored("42")}}));
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
    EXPECT_TRUE(fs::exists(journal_path(db))) << "a reader must not remove the journal";

    next_writer();
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("41")}, {stored("2001/03/11/09"), stored("41")}}));
    EXPECT_TRUE(journal_idle(journal_path(db)));
}

// A journal whose records hold neither their before- nor their after-image
// belongs to another file (the counter was deleted and created anew): it is
// not applied, and the next writer removes it.
TEST_F(StoreChange, ForeignJournalIsNotApplied) {
    ASSERT_EQ(journal_write(db, {{"totcnt", "7", "8"}, {"2001/03/11/09", "41", "42"}}, getuid(), getgid()).error, 0);
    EXPECT_EQ(read("totcnt"), "41");
    next_writer();
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("41")}, {stored("2001/03/11/09"), stored("41")}}));
    EXPECT_TRUE(journal_idle(journal_path(db)));
}

TEST_F(StoreChange, JournalCutShortGuardsNothing) {
    const std::string bytes = _journal_encode(kVisit);
    site.write("save/c.db-journal", bytes.substr(0, bytes.size() - 3));
    next_writer();
    EXPECT_EQ(read("totcnt"), "41");
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

    const std::string out = error_answer(site, [&] { dbutil_open(db, GDBM_READER); });
    EXPECT_TRUE(is_error_image(out, "DB open error. Database needs recovery (" + db + ")"))
        << error_text(out).value_or("no error image");

    dbutil_open(db, GDBM_WRITER);
    dbutil_update({{"totcnt", "42"}, {"2001/03/11/09", "42"}});
    dbutil_close();
    EXPECT_EQ(dump_db(db), (Records{{stored("totcnt"), stored("42")}, {stored("2001/03/11/09"), stored("42")}}));
    EXPECT_EQ(site.read("save/c.db.damaged"), bytes);
    EXPECT_EQ(read("totcnt"), "42");
}

TEST_F(StoreChange, NeedsTheFileOpenForWriting) {
    EXPECT_TRUE(is_error_image(error_answer(site, [] { dbutil_update({{"totcnt", "1"}}); }),
                               "DB store error. There is no opened database."));
    EXPECT_TRUE(is_error_image(error_answer(site,
                                            [&] {
                                                dbutil_open(db, GDBM_READER);
                                                dbutil_update({{"totcnt", "1"}});
                                            }),
                               "DB Error!! (Reader can't store)"));
    EXPECT_TRUE(journal_idle(journal_path(db)));
    EXPECT_EQ(read("totcnt"), "41");
}

}  // namespace
}  // namespace vorn::test
