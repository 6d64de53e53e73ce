// SPDX-License-Identifier: GPL-3.0-or-later
// A save directory the web server user may write is a directory that user
// can plant symbolic links in. The programs, run as root, must never make,
// write, give away or remove a file through such a link: each refuses it,
// naming it, and nothing outside the site changes.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <pwd.h>

#include <string>

#include "harness.h"
#include "vornctl_helpers.h"

namespace vorn::test {
namespace {

class PlantedLinks : public testing::Test {
protected:
    void SetUp() override {
        user = unprivileged_user();
        if (!user) GTEST_SKIP() << "needs root and an unprivileged user";
        const struct passwd* pw = getpwuid(*user);
        ASSERT_NE(pw, nullptr);
        // The web server user owns save/; a folder only root may enter
        // holds what the links point at.
        ASSERT_EQ(chown(site.path("save").c_str(), pw->pw_uid, pw->pw_gid), 0);
        fs::create_directories(rootonly);
        fs::permissions(rootonly, fs::perms::owner_all);
    }
    // Plants save/NAME as a link to `target`.
    void plant(const std::string& name, const fs::path& target) const {
        fs::create_symlink(target, site.path("save/" + name));
    }
    bool untouched() const { return fs::is_empty(rootonly); }

    TempSite site;
    fs::path rootonly = site.path("rootonly");
    std::optional<uid_t> user;
};

TEST_F(PlantedLinks, CreateAndRestoreRefuseTheLink) {
    plant("home.db", rootonly / "victim");
    RunResult create = run_ctl(site, {"create", "home"});
    EXPECT_EQ(create.status, 1);
    EXPECT_EQ(create.err, "vornctl: ./save/home.db is a symbolic link, which is not followed: remove it\n");
    EXPECT_TRUE(untouched());

    // A dump of another counter, restored under the planted name.
    ASSERT_EQ(run_ctl(site, {"create", "other", "--total", "5"}).status, 0);
    ASSERT_EQ(run_ctl(site, {"backup", "bk"}).status, 0);
    fs::rename(site.path("bk/other.dump"), site.path("bk/home.dump"));
    RunResult restore = run_ctl(site, {"restore", "bk", "home", "--yes"});
    EXPECT_EQ(restore.status, 1);
    EXPECT_TRUE(contains(restore.err, "./save/home.db is a symbolic link")) << restore.err;
    EXPECT_TRUE(untouched());
    EXPECT_TRUE(fs::is_symlink(site.path("save/home.db")));

    // vornadmin makes nothing through it either.
    ASSERT_EQ(run_admin(site, "1\nhome\n").status, 0);
    EXPECT_TRUE(untouched());
}

TEST_F(PlantedLinks, NewCounterFilesAreGivenToTheSaveDirectoryOwner) {
    ASSERT_EQ(run_ctl(site, {"create", "home"}).status, 0);
    ASSERT_EQ(run_ctl(site, {"set-total", "home", "7"}).status, 0);
    ASSERT_EQ(run_ctl(site, {"backup", "bk"}).status, 0);
    ASSERT_EQ(run_ctl(site, {"delete", "home", "--yes"}).status, 0);
    ASSERT_EQ(run_ctl(site, {"restore", "bk", "--yes"}).status, 0);
    ASSERT_EQ(run_ctl(site, {"set-total", "home", "7"}).status, 0);
    for (const char* file : {"save/home.db", "save/home.db-journal"}) {
        struct stat st {};
        ASSERT_EQ(lstat(site.path(file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_uid, *user) << file;
    }
    // The web server can count in them.
    Request visit = hit("home");
    visit.user = user;
    EXPECT_EQ(run_cgi(site, visit).status, 0);
    EXPECT_EQ(dump_db(site.path("save/home.db")).at(std::string("totcnt", 7)), std::string("8", 2));
}

TEST_F(PlantedLinks, JournalCounterFileAndVisitsLinksAreNotFollowed) {
    site.create_counter("c");
    const std::string before = site.read("save/c.db");
    plant("c.db-journal", rootonly / "journal");
    RunResult set = run_ctl(site, {"set-total", "c", "5"});
    EXPECT_EQ(set.status, 1);
    EXPECT_EQ(set.err, "vornctl: DB write error. Is a symbolic link (./save/c.db-journal)\n");
    EXPECT_TRUE(is_error_image(run_cgi(site, hit("c")).out, "DB write error. Is a symbolic link (./save/c.db-journal)"));
    EXPECT_EQ(site.read("save/c.db"), before);
    EXPECT_TRUE(untouched());

    // A counter file that is a link to a real counter elsewhere.
    site.create_counter("real");
    fs::rename(site.path("save/real.db"), rootonly / "real.db");
    const std::string real = site.read("rootonly/real.db");
    plant("l.db", rootonly / "real.db");
    EXPECT_TRUE(is_error_image(run_cgi(site, hit("l")).out, "DB open error. Is a symbolic link (./save/l.db)"));
    EXPECT_EQ(site.read("rootonly/real.db"), real);

    // The visits folder of REPEAT_MINUTES.
    site.write("conf/vc.conf", site.read("conf/vc.conf") + "REPEAT_MINUTES = 30\n");
    fs::remove(site.path("save/c.db-journal"));
    fs::create_directories(rootonly / "visits");
    site.write("rootonly/visits/c.db", "kept");
    plant("visits", rootonly / "visits");
    EXPECT_TRUE(is_error_image(run_cgi(site, hit("c")).out, "Visits file error. Is a symbolic link (./save/visits)"));
    RunResult del = run_ctl(site, {"delete", "c", "--yes"});
    EXPECT_EQ(del.status, 1);
    EXPECT_EQ(del.err, "vornctl: Visits file error. Is a symbolic link (./save/visits)\n");
    EXPECT_EQ(site.read("rootonly/visits/c.db"), "kept");
    EXPECT_EQ(site.read("save/c.db"), before);
}

}  // namespace
}  // namespace vorn::test
