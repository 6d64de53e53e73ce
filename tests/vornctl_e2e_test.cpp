// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "gdbm/journal.h"
#include "vornctl_helpers.h"

namespace vorn::test {
namespace {

using Records = std::map<std::string, std::string>;

// Records as dump_db gives them, from plain texts.
Records as_stored(const Records& plain) {
    Records out;
    for (const auto& [k, v] : plain) out[stored(k)] = stored(v);
    return out;
}



// A copy of a good counter with bytes `from` to `to` garbled: the header
// and directory stay sound, the bucket does not.
void plant_damaged(const TempSite& site, const std::string& name) {
    store_records(site.path("save/" + name + ".db"), {{"totcnt", "41"}, {"2001/03/11/09", "41"}});
    std::string bytes = site.read("save/" + name + ".db");
    for (std::size_t i = 2048; i < 3072 && i < bytes.size(); ++i) bytes[i] ^= 0x5A;
    site.write("save/" + name + ".db", bytes);
}

// A good counter with bytes appended, as when a process ended while gdbm
// extended the file: gdbm marks it as needing recovery.
void plant_needs_recovery(const TempSite& site, const std::string& name, const Records& records) {
    store_records(site.path("save/" + name + ".db"), records);
    site.write("save/" + name + ".db", site.read("save/" + name + ".db") + std::string(3000, 'x'));
}

TEST(Vornctl, UsageErrorsAndFailuresHaveTheirExitStatus) {
    TempSite site;
    RunResult help = run_ctl(site, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"list", "show NAME", "create NAME [--total N]", "delete NAME [--yes]", "set-total NAME N",
                                "export NAME", "import NAME FILE", "check [NAME...]", "repair NAME", "backup DIR",
                                "restore DIR"}) {
        EXPECT_TRUE(contains(help.out, "  " + std::string(command))) << command;
    }
    RunResult version = run_ctl(site, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "vornctl (VornCounter) 2.0.0 beta1\n");

    const std::vector<std::vector<std::string>> usage = {
        {},
        {"frobnicate"},
        {"--frob", "list"},
        {"list", "--frob"},
        {"show"},
        {"show", "a", "b"},
        {"set-total", "a", "12x"},
        {"set-total", "a", "-5"},
        {"set-total", "a", "1234567890123456789"},
        {"create", "a", "--total"},
        {"export", "a", "--from", "2026/02/30"},
        {"export", "a", "--from", "2026/03/02", "--to", "2026/03/01"},
        {"list", "--json=yes"},
    };
    for (const auto& args : usage) {
        RunResult r = run_ctl(site, args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("vornctl: ", 0), 0u) << r.err;
    }

    const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
        {{"show", "nosuch"}, "vornctl: no such counter 'nosuch' (./save/nosuch.db)\n"},
        {{"delete", "nosuch", "--yes"}, "vornctl: no such counter 'nosuch' (./save/nosuch.db)\n"},
        {{"create", "../x"}, "vornctl: Invalid counter name ('../x'): a name may not hold '/' or '..'\n"},
        {{"create", "a/b"}, "vornctl: Invalid counter name ('a/b'): a name may not hold '/' or '..'\n"},
        {{"create", ""}, "vornctl: Invalid counter name (''): a name may not be empty\n"},
        {{"create", std::string(250, 'n')}, "vornctl: DB file path too long (260 characters, at most 254)\n"},
        {{"create", std::string(241, 'n')}, "vornctl: Counter name too long (241 characters, at most 240)\n"},
        {{"create", "sp "}, "vornctl: Invalid counter name ('sp '): a name may not begin or end with a blank\n"},
        {{"create", " lead"}, "vornctl: Invalid counter name (' lead'): a name may not begin or end with a blank\n"},
        {{"-C", "no/such/dir", "list"}, "vornctl: cannot change to the directory no/such/dir: No such file or directory\n"},
    };
    for (const auto& [args, message] : failures) {
        RunResult r = run_ctl(site, args);
        EXPECT_EQ(r.status, 1) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message);
    }
    EXPECT_FALSE(fs::exists(site.path("x.db")));
    EXPECT_TRUE(fs::is_empty(site.path("save")));
}

TEST(Vornctl, CreateListShowAndDelete) {
    TempSite site;
    EXPECT_EQ(run_ctl(site, {"create", "home"}).out, "created home (./save/home.db)\n");
    RunResult carried = run_ctl(site, {"create", "old", "--total", "12345"});
    EXPECT_EQ(carried.status, 0);
    EXPECT_EQ(carried.out, "created old (./save/old.db), total 12345\n");
    RunResult again = run_ctl(site, {"create", "home"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "vornctl: counter 'home' already exists (./save/home.db)\n");

    // A carried-over total counts on with the next visit.
    ASSERT_EQ(run_cgi(site, hit("old")).status, 0);
    const Records old = dump_db(site.path("save/old.db"));
    EXPECT_EQ(old.at(stored("totcnt")), stored("12346"));
    const std::string now_hour = old.at(stored("startdate")).substr(0, 13);

    // Hits of today, records of yesterday, six days ago and last year.
    for (int i = 0; i < 3; ++i) ASSERT_EQ(run_cgi(site, hit("home")).status, 0);
    const std::string today = day_key(0);
    store_records(site.path("save/home.db"), {{"2001/03/11/09", "100"}, {day_key(1) + "/23", "4"}, {day_key(6) + "/00", "2"}});
    store_records(site.path("save/home.db"), {{"totcnt", "109"}});
    // Other files in the save directory are no counters.
    site.write("save/notes.txt", "");
    site.write("save/home.db.damaged", "");
    const Records home = dump_db(site.path("save/home.db"));
    const std::string start = home.at(stored("startdate")).substr(0, 13);
    std::string last;  // the latest hour key
    for (const auto& [key, value] : home) {
        if (key.size() == 14 && key[4] == '/') last = std::max(last, key.substr(0, 13));
    }
    if (day_key(0) != today) GTEST_SKIP() << "the day changed while the test ran";

    RunResult list = run_ctl(site, {"list"});
    EXPECT_EQ(list.status, 0);
    const auto size = [&](const char* name) { return std::to_string(fs::file_size(site.path(name))); };
    EXPECT_EQ(list.out, "NAME  TOTAL  STARTDATE      LASTHOUR       SIZE\n"
                        "home  109    " + start + "  " + last + "  " + size("save/home.db") + "\n"
                        "old   12346  " + now_hour + "  " + now_hour + "  " + size("save/old.db") + "\n");
    EXPECT_EQ(run_ctl(site, {"list", "--json"}).out,
              "[{\"name\":\"home\",\"total\":109,\"startdate\":\"" + start + "\",\"lasthour\":\"" + last +
                  "\",\"size\":" + size("save/home.db") + "},{\"name\":\"old\",\"total\":12346,\"startdate\":\"" +
                  now_hour + "\",\"lasthour\":\"" + now_hour + "\",\"size\":" + size("save/old.db") + "}]\n");

    const bool same_month = day_key(1).substr(0, 7) == today.substr(0, 7);
    const bool six_same_month = day_key(6).substr(0, 7) == today.substr(0, 7);
    const long month = 3 + (same_month ? 4 : 0) + (six_same_month ? 2 : 0);
    const long year = 3 + (day_key(1).substr(0, 4) == today.substr(0, 4) ? 4 : 0) +
                      (day_key(6).substr(0, 4) == today.substr(0, 4) ? 2 : 0);
    RunResult show = run_ctl(site, {"--json", "show", "home"});
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(show.out, "{\"name\":\"home\",\"total\":109,\"startdate\":\"" + start +
                            "\",\"today\":3,\"yesterday\":4,\"month\":" + std::to_string(month) +
                            ",\"year\":" + std::to_string(year) + ",\"last7\":[2,0,0,0,0,4,3],\"lasthour\":\"" + last +
                            "\",\"rules\":[]}\n");
    RunResult text = run_ctl(site, {"show", "home"});
    EXPECT_TRUE(contains(text.out, "total      109\n"));
    EXPECT_TRUE(contains(text.out, "last7      2 0 0 0 0 4 3\n"));
    EXPECT_TRUE(contains(text.out, "lasthour   " + last + "\n"));

    // A counter without records shows zeros and no dates.
    ASSERT_EQ(run_ctl(site, {"create", "empty"}).status, 0);
    EXPECT_EQ(run_ctl(site, {"show", "empty", "--json"}).out,
              "{\"name\":\"empty\",\"total\":0,\"startdate\":null,\"today\":0,\"yesterday\":0,\"month\":0,"
              "\"year\":0,\"last7\":[0,0,0,0,0,0,0],\"lasthour\":null,\"rules\":[]}\n");

    // On a terminal delete asks first (script gives it one).
    const auto on_terminal = [&](const std::string& command, const std::string& answer) {
        Child c = start_program("/usr/bin/script", site.root(), {"PATH=/usr/bin:/bin", "TZ=UTC"}, answer, std::nullopt,
                                {"-qec", kVornctl + " " + command, "/dev/null"});
        return finish_program(c);
    };
    RunResult no = on_terminal("delete empty", "n\n");
    EXPECT_EQ(no.status, 1);
    EXPECT_TRUE(contains(no.out, "delete the counter empty (./save/empty.db) with all its records? [y/N]")) << no.out;
    EXPECT_TRUE(contains(no.out, "vornctl: counter 'empty' not deleted")) << no.out;
    EXPECT_TRUE(fs::exists(site.path("save/empty.db")));
    EXPECT_EQ(on_terminal("delete empty --yes", "").status, 0);
    EXPECT_FALSE(fs::exists(site.path("save/empty.db")));
    ASSERT_EQ(run_ctl(site, {"create", "empty"}).status, 0);

    // Delete takes the counter and its journal; no question without a terminal.
    site.write("save/home.db-journal", "left by an interrupted change");
    RunResult del = run_ctl(site, {"delete", "home"});
    EXPECT_EQ(del.status, 0);
    EXPECT_EQ(del.out, "deleted home (./save/home.db)\n");
    EXPECT_FALSE(fs::exists(site.path("save/home.db")));
    EXPECT_FALSE(fs::exists(site.path("save/home.db-journal")));
    EXPECT_EQ(run_ctl(site, {"delete", "old", "--yes", "--json"}).out,
              "{\"name\":\"old\",\"path\":\"./save/old.db\",\"deleted\":true}\n");
    EXPECT_EQ(run_ctl(site, {"list"}).out, "NAME   TOTAL  STARTDATE  LASTHOUR  SIZE\nempty  0      -          -         " +
                                               size("save/empty.db") + "\n");
    RunResult hit_gone = run_cgi(site, hit("home"));
    EXPECT_TRUE(is_error_image(hit_gone.out, "DB file (./save/home.db) not found"));
}

TEST(Vornctl, FollowsTheSiteConfiguration) {
    TempSite site;
    site.write("conf/vc.conf", "DIR_SAVE = ./counters\nDBFILE_EXT = gdbm\n");
    fs::create_directories(site.path("counters"));
    TempSite elsewhere(false);
    RunResult r = run_ctl(elsewhere, {"-C", site.root().string(), "create", "home"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "created home (./counters/home.gdbm)\n");
    ASSERT_EQ(run_cgi(site, hit("home")).status, 0);
    EXPECT_TRUE(contains(run_ctl(elsewhere, {"-C" + site.root().string(), "list"}).out, "home  1  "));

    // Without conf/vc.conf every key has its default.
    fs::remove(site.path("conf/vc.conf"));
    EXPECT_EQ(run_ctl(site, {"create", "home"}).out, "created home (./save/home.db)\n");
    site.write("conf/vc.conf", "DIR_SAVE =\n");
    RunResult empty = run_ctl(site, {"list"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "vornctl: Configuration error. DIR_SAVE is empty (conf/vc.conf)\n");
}

// vornctl's days are the counter's: the site's TIMEZONE, whatever TZ the
// operator's shell has, and that TZ only where the site names no zone.
TEST(Vornctl, DaysAreThoseOfTheSiteTimezone) {
    TempSite site;
    const std::string conf = site.read("conf/vc.conf");
    site.write("conf/vc.conf", conf + "TIMEZONE = Pacific/Kiritimati\n");  // UTC+14
    const auto ctl = [&](const char* tz, const std::vector<std::string>& args) {
        std::vector<std::string> env = program_env();
        std::erase_if(env, [](const std::string& e) { return e.rfind("TZ=", 0) == 0; });
        env.push_back(std::string("TZ=") + tz);
        Child c = start_program(kVornctl, site.root(), env, "", std::nullopt, args);
        return finish_program(c);
    };
    // The day in Kiritimati `days_ago` days back; 25 hours east of Pago
    // Pago (UTC-11), so never Pago Pago's today.
    const auto kiritimati_day = [](int days_ago) {
        const std::time_t t = std::time(nullptr) + 14 * 3600 - static_cast<std::time_t>(days_ago) * 86400;
        char day[16];
        std::strftime(day, sizeof day, "%Y/%m/%d", std::gmtime(&t));
        return std::string(day);
    };
    const std::string today = kiritimati_day(0), yesterday = kiritimati_day(1);
    ASSERT_EQ(ctl("Pacific/Pago_Pago", {"create", "home", "--total", "7"}).status, 0);
    store_records(site.path("save/home.db"), {{today + "/05", "3"}, {yesterday + "/05", "4"}});
    const std::string days = "\"today\":3,\"yesterday\":4,";
    const RunResult show = ctl("Pacific/Pago_Pago", {"show", "home", "--json"});
    const RunResult own = [&] {
        site.write("conf/vc.conf", conf);  // no TIMEZONE: vornctl's own TZ
        return ctl("Pacific/Kiritimati", {"show", "home", "--json"});
    }();
    if (kiritimati_day(0) != today) GTEST_SKIP() << "the day changed while the test ran";
    EXPECT_TRUE(contains(show.out, days)) << show.out;
    EXPECT_TRUE(contains(own.out, days)) << own.out;
    // The start date that a total gives is an hour of the site's day.
    EXPECT_EQ(db_texts(site.path("save/home.db")).at("startdate").substr(0, 10), today);

    // A TIMEZONE that is no zone stops what names days, with the message
    // every request answers; the rest works on.
    site.write("conf/vc.conf", conf + "TIMEZONE = Mars/Olympus_Mons\n");
    const std::string nozone =
        "vornctl: Configuration error. TIMEZONE: 'Mars/Olympus_Mons' is not a time zone (conf/vc.conf)\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"show", "home"}, {"set-total", "home", "9"}, {"create", "new", "--total", "1"}}) {
        const RunResult r = ctl("UTC", args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, nozone) << args[0];
    }
    EXPECT_EQ(db_texts(site.path("save/home.db")).at("totcnt"), "7");
    EXPECT_FALSE(fs::exists(site.path("save/new.db")));
    EXPECT_EQ(ctl("UTC", {"list"}).status, 0);
    EXPECT_EQ(ctl("UTC", {"create", "new"}).status, 0);
}

TEST(Vornctl, SetTotalKeepsTheHours) {
    TempSite site;
    site.create_counter("c");
    store_records(site.path("save/c.db"), {{"totcnt", "7"}, {"startdate", "2001/03/11/09"}, {"2001/03/11/09", "7"}});
    RunResult r = run_ctl(site, {"set-total", "c", "0012345"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "c: total 12345 (was 7)\n");
    EXPECT_EQ(dump_db(site.path("save/c.db")),
              as_stored({{"totcnt", "12345"}, {"startdate", "2001/03/11/09"}, {"2001/03/11/09", "7"}}));
    EXPECT_EQ(run_ctl(site, {"set-total", "c", "5", "--json"}).out, "{\"name\":\"c\",\"total\":5,\"previous\":12345}\n");

    // A fresh counter gets a start date, which its first visit no longer sets.
    site.create_counter("fresh");
    EXPECT_EQ(run_ctl(site, {"set-total", "fresh", "100"}).out, "fresh: total 100 (was none)\n");
    const Records fresh = dump_db(site.path("save/fresh.db"));
    EXPECT_EQ(fresh.at(stored("totcnt")), stored("100"));
    EXPECT_EQ(fresh.count(stored("startdate")), 1u);
    EXPECT_TRUE(journal_idle(site.path("save/fresh.db-journal")));
}

TEST(Vornctl, ExportAndImportRoundTrip) {
    TempSite site;
    site.create_counter("src");
    store_records(site.path("save/src.db"), {{"totcnt", "21"},
                                             {"startdate", "2025/12/31/23"},
                                             {"2026/01/01/13", "12"},
                                             {"2025/12/31/23", "3"},
                                             {"2026/02/28/09", "1"},
                                             {"2026/01/01/00", "5"}});
    RunResult all = run_ctl(site, {"export", "src"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, kHistory);
    EXPECT_EQ(run_ctl(site, {"export", "src", "--from", "2026/01/01", "--to=2026/01/01"}).out,
              "hour,count\n2026/01/01/00,5\n2026/01/01/13,12\n");
    EXPECT_EQ(run_ctl(site, {"export", "src", "--from", "2026/03/01"}).out, "hour,count\n");
    EXPECT_EQ(run_ctl(site, {"export", "src", "--to", "2025/12/31", "--json"}).out,
              "{\"name\":\"src\",\"total\":21,\"startdate\":\"2025/12/31/23\",\"hours\":{\"2025/12/31/23\":3}}\n");

    // Into a fresh counter, from a file and from standard input.
    site.create_counter("copy");
    site.write("history.csv", all.out);
    RunResult imported = run_ctl(site, {"import", "copy", "history.csv"});
    EXPECT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.out, "copy: imported 4 hours, 21 visits; total 21\n");
    EXPECT_EQ(dump_db(site.path("save/copy.db")), dump_db(site.path("save/src.db")));
    EXPECT_EQ(run_ctl(site, {"export", "copy"}).out, kHistory);

    // Into a counter with records of its own: the counts add up, the start
    // moves back to the earliest hour, and an hour may come twice.
    site.create_counter("busy");
    store_records(site.path("save/busy.db"), {{"totcnt", "10"}, {"startdate", "2026/01/01/13"}, {"2026/01/01/13", "10"}});
    RunResult added = run_ctl(site, {"import", "busy", "-", "--json"},
                              "hour,count\r\n2026/01/01/13,2\r\n\r\n2025/06/01/00,4\r\n2026/01/01/13,1\r\n");
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "{\"name\":\"busy\",\"hours\":2,\"visits\":7,\"total\":17}\n");
    EXPECT_EQ(dump_db(site.path("save/busy.db")),
              as_stored({{"totcnt", "17"}, {"startdate", "2025/06/01/00"}, {"2026/01/01/13", "13"}, {"2025/06/01/00", "4"}}));
}

TEST(Vornctl, ImportWithABadLineChangesNothing) {
    TempSite site;
    site.create_counter("c");
    store_records(site.path("save/c.db"), {{"totcnt", "9"}, {"2026/01/01/00", "9"}});
    const std::string before = site.read("save/c.db");
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "standard input:1: empty input; expected the heading 'hour,count'"},
        {"2026/01/01/00,5\n", "standard input:1: expected the heading 'hour,count'"},
        {"hour,count\n2026/01/01/00,5\n2026/13/01/00,1\n", "standard input:3: bad hour '2026/13/01/00'"},
        {"hour,count\n2026/02/29/00,1\n", "standard input:2: bad hour '2026/02/29/00'"},
        {"hour,count\n2026/01/01/24,1\n", "standard input:2: bad hour '2026/01/01/24'"},
        {"hour,count\n2026/01/01/00,-1\n", "standard input:2: bad count '-1'"},
        {"hour,count\n2026/01/01/00, 1\n", "standard input:2: bad count ' 1'"},
        {"hour,count\n2026/01/01/00,1234567890123456789\n", "standard input:2: bad count '1234567890123456789'"},
        {"hour,count\n2026/01/01/00,1,2\n", "standard input:2: expected HOUR,COUNT"},
        {"hour,count\n2026/01/01/00\n", "standard input:2: expected HOUR,COUNT"},
        {"hour,count\n2026/01/01/00,999999999999999999\n2026/01/01/01,999999999999999999\n",
         "standard input:3: the counts add up past 18 digits"},
        {"hour,count\n" + std::string(300, '1') + "\n", "standard input:2: line longer than 256 characters"},
        {"hour,count\nx\ny\n2026/01/01/00,1\nz\n", "standard input:2: expected HOUR,COUNT, not 'x' (and 2 more bad lines)"},
    };
    for (const auto& [input, message] : bad) {
        RunResult r = run_ctl(site, {"import", "c", "-"}, input);
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_TRUE(contains(r.err, "vornctl: " + message)) << r.err;
        EXPECT_TRUE(contains(r.err, "nothing was imported")) << r.err;
        EXPECT_EQ(r.out, "");
    }
    RunResult missing = run_ctl(site, {"import", "c", "no-such.csv"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "vornctl: cannot read no-such.csv: No such file or directory\n");
    // A record that holds no count is not added to.
    store_records(site.path("save/c.db"), {{"2026/01/01/01", "many"}});
    const std::string with_bad_record = site.read("save/c.db");
    RunResult onto = run_ctl(site, {"import", "c", "-"}, "hour,count\n2026/01/01/00,1\n2026/01/01/01,1\n");
    EXPECT_EQ(onto.status, 1);
    EXPECT_TRUE(contains(onto.err, "record '2026/01/01/01' holds 'many'")) << onto.err;
    EXPECT_EQ(site.read("save/c.db"), with_bad_record);
    EXPECT_NE(with_bad_record, before);
    EXPECT_TRUE(journal_idle(site.path("save/c.db-journal")));
}

long hour_sum(const Records& records) {
    long sum = 0;
    for (const auto& [key, value] : records) {
        if (key != stored("totcnt") && key != stored("startdate")) sum += std::stol(value);
    }
    return sum;
}

// set-total and import take the writer lock as a visit does: visits that
// run at the same time are each counted, before or after the change.
TEST(Vornctl, ChangesWhileVisitsRunLoseNoVisit) {
    TempSite site;
    site.create_counter("c");
    site.create_counter("d");
    constexpr int kHalf = 15;
    for (const char* name : {"c", "d"}) {
        std::vector<Child> visits;
        for (int i = 0; i < kHalf; ++i) visits.push_back(start_cgi(site, hit(name)));
        Child change = std::string(name) == "c" ? start_ctl(site, {"set-total", "c", "1000000"})
                                                : start_ctl(site, {"import", "d", "-"}, kHistory);
        for (int i = 0; i < kHalf; ++i) visits.push_back(start_cgi(site, hit(name)));
        for (Child& v : visits) {
            RunResult r = finish_program(v);
            EXPECT_EQ(r.status, 0) << r.err;
        }
        RunResult changed = finish_program(change);
        ASSERT_EQ(changed.status, 0) << changed.err;
        const Records records = dump_db(site.path(std::string("save/") + name + ".db"));
        const long total = std::stol(records.at(stored("totcnt")));
        if (std::string(name) == "c") {
            // "c: total 1000000 (was N)": N visits came before, the rest after.
            const std::string was = changed.out.substr(changed.out.find("(was ") + 5);
            const long before = was.rfind("none", 0) == 0 ? 0 : std::stol(was);
            EXPECT_EQ(before + (total - 1000000), 2 * kHalf) << changed.out;
            EXPECT_EQ(hour_sum(records), 2 * kHalf);
        } else {
            EXPECT_EQ(total, 2 * kHalf + 21);
            EXPECT_EQ(hour_sum(records), 2 * kHalf + 21);
            EXPECT_EQ(records.at(stored("2026/01/01/13")), stored("12"));
        }
        EXPECT_TRUE(journal_idle(site.path(std::string("save/") + name + ".db-journal")));
    }
}

TEST(Vornctl, CheckFindsEachPlantedFault) {
    TempSite site;
    // The web server user: nobody when the suite runs as root, else the
    // user running it; the save directory is open to it.
    const std::string user = geteuid() == 0 ? "nobody" : std::string(getenv("USER") ? getenv("USER") : "");
    if (user.empty() || (geteuid() == 0 && !unprivileged_user())) GTEST_SKIP() << "no user to check for";
    fs::permissions(site.path("save"), fs::perms::all);
    const auto counter = [&](const std::string& name, const std::map<std::string, std::string>& records) {
        site.create_counter(name);
        store_records(site.path("save/" + name + ".db"), records);
        fs::permissions(site.path("save/" + name + ".db"), fs::perms(0666));
    };
    counter("good", {{"totcnt", "12"}, {"startdate", "2026/01/01/00"}, {"2026/01/01/00", "5"}, {"2026/01/02/00", "7"}});
    counter("foreign", {{"totcnt", "1"}, {"2026/01/01/00", "1"}, {"visitor-ip", "10.0.0.1"}});
    counter("below", {{"totcnt", "3"}, {"2026/01/01/00", "4"}, {"2026/01/01/01", "1"}});
    counter("badvalue", {{"totcnt", "x"}, {"startdate", "yesterday"}, {"2026/01/01/00", "1e3"}});
    counter("journal", {{"totcnt", "1"}, {"2026/01/01/00", "1"}});
    site.write("save/journal.db-journal", "cut short");
    counter("copy", {{"totcnt", "1"}, {"2026/01/01/00", "1"}});
    site.write("save/copy.db.damaged", "the original");
    counter("unwritable", {{"totcnt", "1"}, {"2026/01/01/00", "1"}});
    fs::permissions(site.path("save/unwritable.db"), fs::perms(0444));
    plant_damaged(site, "damaged");
    plant_needs_recovery(site, "recovery", {{"totcnt", "2"}, {"2026/01/01/00", "2"}});
    site.write("save/notadb.db", std::string(2000, '#'));
    for (const auto& e : fs::directory_iterator(site.path("save"))) fs::permissions(e.path(), fs::perms(0666));
    fs::permissions(site.path("save/unwritable.db"), fs::perms(0444));
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(site.path("save"))) files[e.path().filename()] = site.read("save/" + e.path().filename().string());

    // Commands to paste name the site by its whole path.
    const std::string ctl = "vornctl -C " + fs::canonical(site.root()).string();
    RunResult all = run_ctl(site, {"check", "--user", user});
    EXPECT_EQ(all.status, 1);
    const std::vector<std::string> lines = {
        "good: ok\n",
        "foreign: foreign record 'visitor-ip': not totcnt, startdate or an hour",
        "below: total 3 is below the sum of its hours, 5: " + ctl + " set-total below 5\n",
        "badvalue: record 'totcnt' holds 'x', not a count\n",
        "badvalue: record 'startdate' holds 'yesterday', not an hour\n",
        "badvalue: record '2026/01/01/00' holds '1e3', not a count\n",
        "journal: an interrupted change waits to be undone (./save/journal.db-journal)",
        "copy: the original of a recovered file is kept as ./save/copy.db.damaged",
        "unwritable: the web server user " + user + " may not read and write ./save/unwritable.db",
        "damaged: gdbm finds the file damaged (Malformed bucket header): " + ctl + " repair damaged\n",
        "recovery: gdbm marks the file as needing recovery (Database needs recovery)",
        "notadb: DB open error. Bad magic number (./save/notadb.db): restore the counter from a backup\n",
    };
    for (const std::string& line : lines) EXPECT_TRUE(contains(all.out, line)) << line << "\n" << all.out;
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), static_cast<long>(lines.size()));

    // Named counters only, as JSON; a clean one gives status 0.
    EXPECT_EQ(run_ctl(site, {"check", "good", "--user", user, "--json"}).out,
              "[{\"name\":\"good\",\"ok\":true,\"findings\":[]}]\n");
    EXPECT_EQ(run_ctl(site, {"check", "good", "--user", user}).status, 0);
    RunResult two = run_ctl(site, {"check", "below", "nosuch", "--user", user, "--json"});
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.out,
              "[{\"name\":\"below\",\"ok\":false,\"findings\":[{\"kind\":\"total-below-hours\",\"message\":\"total 3 is "
              "below the sum of its hours, 5: " + ctl + " set-total below 5\"}]},{\"name\":\"nosuch\",\"ok\":false,"
              "\"findings\":[{\"kind\":\"missing\",\"message\":\"no such counter (./save/nosuch.db)\"}]}]\n");
    RunResult bad_name = run_ctl(site, {"check", "../good", "good", "--user", user});
    EXPECT_EQ(bad_name.status, 1);
    EXPECT_EQ(bad_name.out, "../good: Invalid counter name ('../good'): a name may not hold '/' or '..'\ngood: ok\n");
    RunResult no_user = run_ctl(site, {"check", "good", "--user", "no-such-user"});
    EXPECT_EQ(no_user.status, 1);
    EXPECT_EQ(no_user.err, "vornctl: no such user 'no-such-user'\n");

    // Checking changed nothing.
    for (const auto& [file, bytes] : files) EXPECT_EQ(site.read("save/" + file), bytes) << file;
    EXPECT_EQ(files.size(), static_cast<std::size_t>(std::distance(fs::directory_iterator(site.path("save")), {})));
}

TEST(Vornctl, RepairMakesADamagedCounterUsable) {
    TempSite site;
    const Records records = {{"totcnt", "12"}, {"startdate", "2026/01/01/00"}, {"2026/01/01/00", "5"}, {"2026/01/02/00", "7"}};
    plant_needs_recovery(site, "c", records);
    const std::string original = site.read("save/c.db");
    Request today = hit("c");
    today.query += "&ago=0";
    EXPECT_TRUE(is_error_image(run_cgi(site, today).out, "DB open error. Database needs recovery (./save/c.db)"));

    RunResult r = run_ctl(site, {"repair", "c"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "c: gdbm found: Database needs recovery\n"
              "c: rebuilt: kept 4 records in 1 buckets, lost 0 records and 0 buckets, 0 duplicate keys\n"
              "c: the original is kept as ./save/c.db.damaged\n");
    EXPECT_EQ(site.read("save/c.db.damaged"), original);
    EXPECT_EQ(dump_db(site.path("save/c.db")), as_stored(records));
    EXPECT_EQ(run_cgi(site, today).status, 0);
    ASSERT_EQ(run_cgi(site, hit("c")).status, 0);
    EXPECT_EQ(dump_db(site.path("save/c.db")).at(stored("totcnt")), stored("13"));

    // A sound file is left alone; an interrupted change is undone.
    EXPECT_EQ(run_ctl(site, {"repair", "c"}).out, "c: sound; nothing to repair\n");
    ASSERT_EQ(journal_write(site.path("save/c.db").string(), {{"totcnt", std::string("13"), std::string("99")}}, getuid(), getgid()).error, 0);
    store_records(site.path("save/c.db"), {{"totcnt", "99"}});
    EXPECT_EQ(run_ctl(site, {"export", "c", "--json"}).out.substr(0, 28), "{\"name\":\"c\",\"total\":13,\"star");
    EXPECT_EQ(run_ctl(site, {"repair", "c"}).out, "c: undid an interrupted change (./save/c.db-journal)\n");
    EXPECT_EQ(dump_db(site.path("save/c.db")).at(stored("totcnt")), stored("13"));
    EXPECT_TRUE(journal_idle(site.path("save/c.db-journal")));

    // A damaged bucket: what gdbm could not reach is reported lost.
    plant_damaged(site, "d");
    RunResult d = run_ctl(site, {"repair", "d", "--json"});
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.out,
              "{\"name\":\"d\",\"repaired\":true,\"problem\":\"Malformed bucket header\",\"kept_records\":0,"
              "\"kept_buckets\":0,\"lost_records\":0,\"lost_buckets\":1,\"duplicates\":0,"
              "\"original\":\"./save/d.db.damaged\",\"undid_change\":false,\"removed\":null}\n");
    EXPECT_EQ(run_ctl(site, {"check", "d", "--user", "root"}).out,
              "d: the original of a recovered file is kept as ./save/d.db.damaged: compare it with the counter, then "
              "remove it\n");

    site.write("save/bad.db", std::string(2000, '#'));
    RunResult bad = run_ctl(site, {"repair", "bad"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err,
              "vornctl: DB open error. Bad magic number (./save/bad.db): gdbm cannot open it, so it cannot be "
              "recovered; restore it from a backup\n");
}

TEST(Vornctl, BackupAndRestoreRoundTrip) {
    TempSite site;
    const Records a = {{"totcnt", "12"}, {"startdate", "2026/01/01/00"}, {"2026/01/01/00", "5"}, {"2026/01/02/00", "7"}};
    const Records b = {{"totcnt", "3"}, {"2026/01/01/00", "3"}};
    store_records(site.path("save/a.db"), a);
    store_records(site.path("save/b.db"), b);
    // An interrupted change of b: the backup holds b as it was before it.
    ASSERT_EQ(journal_write(site.path("save/b.db").string(), {{"totcnt", std::string("3"), std::string("4")}}, getuid(), getgid()).error, 0);
    store_records(site.path("save/b.db"), {{"totcnt", "4"}});

    RunResult backup = run_ctl(site, {"backup", "bk"});
    EXPECT_EQ(backup.status, 0) << backup.err;
    EXPECT_EQ(backup.out, "a -> bk/a.dump\nb -> bk/b.dump\n");
    EXPECT_TRUE(journal_idle(site.path("save/b.db-journal")));
    // The dumps are gdbm's own: Debian's gdbm_load reads them.
    const std::string loaded = site.path("loaded.db").string();
    ASSERT_EQ(std::system(("gdbm_load '" + site.path("bk/a.dump").string() + "' '" + loaded + "'").c_str()), 0);
    EXPECT_EQ(dump_db(loaded), as_stored(a));

    // Later changes, then the restore puts both back as they were.
    ASSERT_EQ(run_cgi(site, hit("a")).status, 0);
    fs::permissions(site.path("save/a.db"), fs::perms(0640));
    ASSERT_EQ(run_ctl(site, {"delete", "b"}).status, 0);
    RunResult restore = run_ctl(site, {"restore", "bk", "--json"});
    EXPECT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(restore.out,
              "[{\"name\":\"a\",\"counter\":\"./save/a.db\",\"dump\":\"bk/a.dump\"},"
              "{\"name\":\"b\",\"counter\":\"./save/b.db\",\"dump\":\"bk/b.dump\"}]\n");
    EXPECT_EQ(dump_db(site.path("save/a.db")), as_stored(a));
    EXPECT_EQ(dump_db(site.path("save/b.db")), as_stored(b));
    EXPECT_EQ(fs::status(site.path("save/a.db")).permissions(), fs::perms(0640));
    ASSERT_EQ(run_cgi(site, hit("a")).status, 0);
    EXPECT_EQ(dump_db(site.path("save/a.db")).at(stored("totcnt")), stored("13"));
    for (const auto& e : fs::directory_iterator(site.path("save"))) {
        EXPECT_TRUE(e.path().extension() == ".db" || journal_idle(e.path())) << e.path() << " left behind";
    }

    // One counter by name; a dump that is cut short or broken (gdbm's own
    // reader takes the first as an empty database) changes nothing.
    const std::string dump = site.read("bk/b.dump");
    const std::string before = site.read("save/b.db");
    const std::size_t header_end = dump.find("# End of header\n") + 16;
    for (const std::string& broken : {dump.substr(0, header_end), dump.substr(0, dump.rfind("#:count")),
                                      dump.substr(0, 200) + "#:len=9\n!!!\n", dump.substr(0, 60) + "\n!!\n" + dump.substr(60),
                                      std::string("hour,count\n2026/01/01/00,1\n")}) {
        site.write("bk/b.dump", broken);
        RunResult r = run_ctl(site, {"restore", "bk", "b"});
        EXPECT_EQ(r.status, 1) << broken;
        EXPECT_TRUE(contains(r.err, "vornctl: b: DB load error.")) << r.err;
        EXPECT_TRUE(contains(r.err, "(bk/b.dump)")) << r.err;
        EXPECT_EQ(site.read("save/b.db"), before);
    }
    EXPECT_EQ(run_ctl(site, {"restore", "bk", "a"}).out, "a <- bk/a.dump\n");
    // On a terminal restore asks first, in words that fit the number.
    for (const auto& [names, question] : {std::pair{" a", "replace 1 counter with its dump in bk? [y/N]"},
                                          std::pair{"", "replace 2 counters with their dumps in bk? [y/N]"}}) {
        Child c = start_program("/usr/bin/script", site.root(), {"PATH=/usr/bin:/bin", "TZ=UTC"}, "n\n", std::nullopt,
                                {"-qec", kVornctl + " restore bk" + names, "/dev/null"});
        EXPECT_TRUE(contains(finish_program(c).out, question)) << question;
    }
    EXPECT_EQ(run_ctl(site, {"restore", "bk", "nosuch"}).status, 1);
}

// The nightly line of README on a fresh host: the dated folder and the ones
// above it are made. Every counter comes back, a name that begins with a
// dot too; with -C, relative paths are the site's.
TEST(Vornctl, BackupMakesItsFoldersAndRestoreTakesEveryDump) {
    TempSite site;
    for (const char* name : {".hidden", "home"}) {
        ASSERT_EQ(run_ctl(site, {"create", name}).status, 0);
        ASSERT_EQ(run_cgi(site, hit(name)).status, 0);
    }
    TempSite elsewhere(false);
    const std::string dir = fs::canonical(site.root()).string();
    Child child = start_ctl(elsewhere, {"-C", dir, "backup", "backups/vorncounter/Mon"});
    RunResult backup = finish_program(child);
    EXPECT_EQ(backup.status, 0) << backup.err;
    EXPECT_EQ(backup.out, ".hidden -> " + dir + "/backups/vorncounter/Mon/.hidden.dump\nhome -> " + dir +
                              "/backups/vorncounter/Mon/home.dump\n");
    for (const char* name : {".hidden", "home"}) ASSERT_EQ(run_ctl(site, {"delete", name, "--yes"}).status, 0);
    RunResult restore = run_ctl(site, {"restore", "backups/vorncounter/Mon", "--yes"});
    EXPECT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(restore.out, ".hidden <- backups/vorncounter/Mon/.hidden.dump\nhome <- backups/vorncounter/Mon/home.dump\n");
    EXPECT_EQ(dump_db(site.path("save/.hidden.db")).at(stored("totcnt")), stored("1"));

    Child missing = start_ctl(elsewhere, {"-C", dir, "import", "home", "no-such.csv"});
    EXPECT_EQ(finish_program(missing).err, "vornctl: cannot read " + dir + "/no-such.csv: No such file or directory\n");
    site.write("file", "");
    RunResult blocked = run_ctl(site, {"backup", "file/bk"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_TRUE(contains(blocked.err, "cannot create the backup directory file/bk: Not a directory")) << blocked.err;
}

// What keeps every visit from counting while the files look sound: check
// names it with its fix, and exits 1.
TEST(Vornctl, CheckFindsWhatStopsEveryVisit) {
    TempSite site;
    site.create_counter("home");
    const std::string conf = fs::canonical(site.root()).string() + "/conf/vc.conf";
    site.write("conf/vc.conf", site.read("conf/vc.conf") +
                                   "IGNORE_BOTS = Yes\nREPEAT_MINUTES = 30min\nREPEAT_MINUTS = 30\nTIMEZONE = Asia/Seul\n");
    RunResult r = run_ctl(site, {"check", "--user", "root"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "conf/vc.conf: unknown key 'REPEAT_MINUTS' in " + conf + " is ignored: did you mean REPEAT_MINUTES?\n"
              "conf/vc.conf: Configuration error. IGNORE_BOTS must be yes or no, not 'Yes' (conf/vc.conf): every visit "
              "that would count answers this error; mend it in " + conf + "\n"
              "conf/vc.conf: Configuration error. REPEAT_MINUTES must be a number from 0 to 1440, not '30min' "
              "(conf/vc.conf): every visit that would count answers this error; mend it in " + conf + "\n"
              "conf/vc.conf: Configuration error. TIMEZONE: 'Asia/Seul' is not a time zone (conf/vc.conf): every "
              "request answers this error; mend it in " + conf + "\n"
              "home: ok\n");
    RunResult json = run_ctl(site, {"check", "home", "--json", "--user", "root"});
    EXPECT_EQ(json.out.rfind("[{\"name\":\"conf/vc.conf\",\"ok\":false,\"findings\":[{\"kind\":\"unknown-key\",\"message\"", 0), 0u)
        << json.out;

    // A counter's own rules are checked as the site's are: a file of no
    // counter, a key that is no counting rule, a bad value. show names
    // each rule in force and the file it comes from.
    site.write("conf/vc.conf", "REPEAT_MINUTES = 30\nTRUSTED_PROXIES = 10.0.0.1\n");
    fs::create_directories(site.path("conf/counters"));
    site.write("conf/counters/home.conf", "COUNT_AGENTS = github-camo\nRATE_LIMIT = 5/0\nSTORE = redis\n");
    site.write("conf/counters/gone.conf", "REPEAT_MINUTES =\n");
    const std::string dir = fs::canonical(site.root()).string() + "/conf/counters/";
    RunResult files = run_ctl(site, {"check", "--user", "root"});
    EXPECT_EQ(files.status, 1);
    EXPECT_EQ(files.out,
              "conf/counters/gone.conf: the rules of 'gone', which is no counter, are not used: delete " + dir +
                  "gone.conf or create the counter\n"
                  "conf/counters/home.conf: unknown key 'STORE' in " + dir + "home.conf is ignored: a counter's file sets "
                  "only the counting rules\n"
                  "conf/counters/home.conf: Configuration error. RATE_LIMIT must be VISITS/SECONDS, 1 to 1000 visits in 1 "
                  "to 86400 seconds, not '5/0' (conf/counters/home.conf): every visit of home that would count answers "
                  "this error; mend it in " + dir + "home.conf\n"
                  "home: ok\n");
    site.write("conf/counters/home.conf", "COUNT_AGENTS = github-camo\nREPEAT_MINUTES =\n");
    EXPECT_EQ(run_ctl(site, {"show", "home"}).out.substr(run_ctl(site, {"show", "home"}).out.find("rule ")),
              "rule       TRUSTED_PROXIES = 10.0.0.1 (conf/vc.conf)\n"
              "rule       COUNT_AGENTS = github-camo (conf/counters/home.conf)\n");
    fs::remove_all(site.path("conf/counters"));

    // A name made before names were bounded: its journal would not fit.
    site.write("conf/vc.conf", "DIR_SAVE = save\n");
    const std::string old_name(245, 'n');
    fs::copy_file(site.path("save/home.db"), site.path("save/" + old_name + ".db"));
    RunResult named = run_ctl(site, {"check", old_name, "--user", "root"});
    EXPECT_EQ(named.status, 1);
    EXPECT_TRUE(contains(named.out, ": Counter name too long (245 characters, at most 240): the files kept beside it "
                                    "would not fit a file name, so no visit can be counted; give it a shorter name: mv " +
                                        fs::canonical(site.root()).string() + "/save/" + old_name + ".db"))
        << named.out;

    // A journal that is a directory fails every visit; repair removes it.
    site.write("conf/vc.conf", "");
    fs::create_directories(site.path("save/home.db-journal"));
    EXPECT_TRUE(is_error_image(run_cgi(site, hit("home")).out, "DB write error. Is a directory (./save/home.db-journal)"));
    EXPECT_TRUE(contains(run_ctl(site, {"check", "home"}).out,
                         "home: ./save/home.db-journal is a directory, not a journal, so no visit can be counted: "
                         "vornctl -C " + fs::canonical(site.root()).string() + " repair home removes it\n"));
    EXPECT_EQ(run_ctl(site, {"repair", "home"}).out, "home: removed ./save/home.db-journal, which was no journal\n");
    EXPECT_EQ(run_cgi(site, hit("home")).status, 0);
}

// Run as root with REPEAT_MINUTES, the visits folder, its salt and a
// counter's visits are root's: check names each for the web server user.
TEST(Vornctl, CheckFindsVisitsTheWebServerCannotKeep) {
    const std::optional<uid_t> user = unprivileged_user();
    if (!user) GTEST_SKIP() << "needs root and an unprivileged user";
    TempSite site;
    site.create_counter("home");
    fs::permissions(site.path("save"), fs::perms::all);
    fs::permissions(site.path("save/home.db"), fs::perms(0666));
    site.write("conf/vc.conf", site.read("conf/vc.conf") + "REPEAT_MINUTES = 30\n");
    ASSERT_EQ(run_cgi(site, hit("home")).status, 0);  // as root: save/visits is root's
    Request visit = hit("home");
    visit.user = user;
    visit.extra_env["HTTP_USER_AGENT"] = "another browser";
    const RunResult refused = run_cgi(site, visit);
    EXPECT_TRUE(is_error_image(refused.out, "Visits file error. Permission denied (./save/visits/home.db)"))
        << error_text(refused.out).value_or("(no error image)");
    const std::string save = fs::canonical(site.root()).string() + "/save";
    RunResult r = run_ctl(site, {"check", "--user", "nobody"});
    EXPECT_EQ(r.status, 1);
    for (const std::string& line :
         {"conf/vc.conf: the web server user nobody may not write the directory ./save/visits (REPEAT_MINUTES keeps "
          "the visits there): chown -R nobody " + save + "/visits\n",
          "conf/vc.conf: the web server user nobody may not read and write ./save/visits/salt (REPEAT_MINUTES keeps "
          "the visits' salt there): chown nobody " + save + "/visits/salt\n",
          "home: the web server user nobody may not read and write ./save/visits/home.db (REPEAT_MINUTES keeps the "
          "counter's visits there): chown nobody " + save + "/visits/home.db\n"}) {
        EXPECT_TRUE(contains(r.out, line)) << line << r.out;
    }
}

// A change root began and did not finish, in a save folder the web server
// may not write: visits are refused with the cause and the command that
// clears it (they would undo each other's counts otherwise), charts show
// the counter as it was, and repair run as root clears it.
TEST(Vornctl, StaleJournalTheWebServerCannotClear) {
    const std::optional<uid_t> user = unprivileged_user();
    if (!user) GTEST_SKIP() << "needs root and an unprivileged user";
    TempSite site;
    store_records(site.path("save/c.db"), {{"totcnt", "41"}, {"2001/03/11/09", "41"}});
    ASSERT_EQ(chown(site.path("save/c.db").c_str(), *user, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(site.path("save").c_str(), 0755), 0);
    ASSERT_EQ(chmod(site.root().c_str(), 0755), 0);
    ASSERT_EQ(journal_write(site.path("save/c.db").string(), {{"totcnt", std::string("41"), std::string("42")}}, 0, 0).error, 0);
    store_records(site.path("save/c.db"), {{"totcnt", "42"}});

    Request visit = hit("c");
    visit.user = user;
    const std::string message = "DB journal error. Permission denied (./save/c.db-journal): vornctl repair clears it";
    for (int i = 0; i < 2; ++i) {
        const RunResult r = run_cgi(site, visit);
        EXPECT_TRUE(is_error_image(r.out, message)) << error_text(r.out).value_or("(no error image)");
        // The change is undone, never counted on top of it.
        EXPECT_EQ(dump_db(site.path("save/c.db")).at(stored("totcnt")), stored("41"));
    }
    Request today = visit;
    today.query += "&ago=total&mode=stat&when=year";
    EXPECT_EQ(run_cgi(site, today).status, 0);
    RunResult check = run_ctl(site, {"check", "c", "--user", "nobody"});
    EXPECT_TRUE(contains(check.out, "c: an interrupted change waits to be undone (./save/c.db-journal), which the web "
                                    "server user nobody may neither empty nor remove, so every visit fails: vornctl -C " +
                                        fs::canonical(site.root()).string() + " repair c (as root or the journal's owner)\n"))
        << check.out;

    EXPECT_EQ(run_ctl(site, {"repair", "c"}).out, "c: undid an interrupted change (./save/c.db-journal)\n");
    EXPECT_EQ(dump_db(site.path("save/c.db")).at(stored("totcnt")), stored("41"));
    EXPECT_EQ(run_cgi(site, visit).status, 0);
    EXPECT_EQ(dump_db(site.path("save/c.db")).at(stored("totcnt")), stored("42"));
    // Recovering in a folder root cannot link in names the true cause.
    ASSERT_EQ(chmod(site.path("save").c_str(), 0555), 0);
    plant_needs_recovery(site, "c", {{"totcnt", "1"}});
    Child ro = start_ctl(site, {"repair", "c"}, "", user);
    RunResult repair = finish_program(ro);
    EXPECT_EQ(repair.err, "vornctl: DB recover error. Permission denied (./save/c.db.damaged)\n");
    ASSERT_EQ(chmod(site.path("save").c_str(), 0755), 0);
}

// Small things a new operator met: names as wide as their characters,
// imports that say what they added, a spreadsheet's byte order mark.
TEST(Vornctl, ListAlignsWideNamesAndImportSaysWhatItAdded) {
    TempSite site;
    for (const char* name : {"카운터", "a"}) ASSERT_EQ(run_ctl(site, {"create", name}).status, 0);
    const std::string list = run_ctl(site, {"list"}).out;
    EXPECT_TRUE(contains(list, "\na       0      -          -         ")) << list;
    EXPECT_TRUE(contains(list, "\n카운터  0      -          -         ")) << list;
    EXPECT_EQ(run_ctl(site, {"import", "a", "-"}, "hour,count\n2026/01/01/00,0\n").out,
              "a: imported 0 hours, 0 visits; total 0\n");
    EXPECT_EQ(run_ctl(site, {"import", "a", "-"}, "\xef\xbb\xbfhour,count\r\n2026/01/01/00,1\r\n").out,
              "a: imported 1 hour, 1 visit; total 1\n");
}

}  // namespace
}  // namespace vorn::test
