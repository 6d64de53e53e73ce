// SPDX-License-Identifier: GPL-3.0-or-later
// Shared test helpers: scoped site directories, running the built programs
// as a web server would, and decoding their GIF answers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "picture/gif.h"
#include "store/store.h"

namespace vorn::test {

namespace fs = std::filesystem;

inline const std::string kVorncounter = std::string(VORN_BIN_DIR) + "/vorncounter";
inline const std::string kVornadmin = std::string(VORN_BIN_DIR) + "/vornadmin";
inline const std::string kVornctl = std::string(VORN_BIN_DIR) + "/vornctl";
inline const fs::path kBuiltSite = VORN_SITE_DIR;

// A fresh working directory, removed again when the test ends. By default
// it is a copy of the built site (conf, empty save/, pictures).
class TempSite {
public:
    explicit TempSite(bool copy_built_site = true);
    ~TempSite();
    TempSite(const TempSite&) = delete;
    TempSite& operator=(const TempSite&) = delete;

    const fs::path& root() const { return root_; }
    fs::path path(const std::string& rel) const { return root_ / rel; }
    void write(const std::string& rel, const std::string& content) const;
    std::string read(const std::string& rel) const;
    // Creates save/NAME.db as an empty counter database.
    void create_counter(const std::string& name) const;

private:
    fs::path root_;
};

struct RunResult {
    std::string out;   // standard output, byte for byte
    std::string err;   // standard error (sanitizer reports land here)
    int status = -1;   // exit status, or 128 + signal
    bool timed_out = false;  // killed by finish_program_within at its limit
};

// A CGI request as a web server starts it: REMOTE_ADDR set (unless
// `console`; 127.0.0.1 unless extra_env names another), the query string,
// and for POST the method, length and body.
struct Request {
    std::string query;
    std::optional<std::string> method;
    std::optional<std::string> body;
    std::optional<std::string> content_length;  // defaults to body's size for POST
    bool console = false;
    std::map<std::string, std::string> extra_env;
    bool omit_content_length = false;  // POST without any CONTENT_LENGTH
    std::optional<uid_t> user;  // run as this user (and its group): needs root
};

// A GET request of `query` from 127.0.0.1.
Request get(const std::string& query);

// A started program whose answer has not been collected yet.
struct Child {
    pid_t pid = -1;
    fs::path out, err, in;
};

// The environment every started program gets besides its request: PATH,
// the fixed time zone and the sanitizer settings.
std::vector<std::string> program_env();

// The CGI variables of `req` as NAME=VALUE texts: what run_cgi puts into
// the environment besides program_env(), and what a FastCGI client sends
// as the request's parameters.
std::vector<std::string> request_variables(const Request& req);

Child start_program(const std::string& program, const fs::path& cwd,
                    const std::vector<std::string>& env, const std::string& input,
                    std::optional<uid_t> user = std::nullopt, const std::vector<std::string>& args = {});
RunResult finish_program(Child& child);
// Like finish_program, but a program still running after `limit` is killed
// (SIGKILL) and collected with timed_out set: a hang fails its test instead
// of stalling the suite.
RunResult finish_program_within(Child& child, std::chrono::milliseconds limit);

// Runs vorncounter for `req` in `site` and collects its answer.
RunResult run_cgi(const TempSite& site, const Request& req);
Child start_cgi(const TempSite& site, const Request& req);
// run_cgi with a time limit (see finish_program_within).
RunResult run_cgi_within(const TempSite& site, const Request& req, std::chrono::milliseconds limit);
// Runs vornadmin in `site` with `input` on its standard input.
RunResult run_admin(const TempSite& site, const std::string& input);
// Starts vornctl with `args` in `site` (its working directory), with
// `input` on its standard input (a file, not a terminal), as `user` when
// one is named (needs root).
Child start_ctl(const TempSite& site, const std::vector<std::string>& args, const std::string& input = "",
                std::optional<uid_t> user = std::nullopt);
// start_ctl and its answer; fails the test on a sanitizer report.
RunResult run_ctl(const TempSite& site, const std::vector<std::string>& args, const std::string& input = "");

// The GIF behind the image header; fails the test when the header is not
// exactly the image header or the rest does not decode.
struct Answer {
    bool ok = false;
    GdImage image;
};
Answer decode_answer(const std::string& out);

// True when `out` is exactly the answer support_errormsg gives for
// `message`: the image header and a GIF whose size, palette and every pixel
// match the error image drawn for that message. Adds no test failure of its
// own, so it can also be used to assert that an answer is NOT that error.
bool is_error_image(const std::string& out, const std::string& message);

// The text an error image shows, read back glyph by glyph, or nullopt when
// `out` is no error image. For failure messages: tests compare with
// is_error_image.
std::optional<std::string> error_text(const std::string& out);

// The message of the failure `action` ends in (ErrorAnswer), or nullopt
// when it returns.
std::optional<std::string> error_message(const std::function<void()>& action);

// Seconds since the epoch of a calendar moment in UTC.
std::time_t utc_time(int year, int month, int day, int hour, int minute = 0, int second = 0);

// Makes UTC the local time zone of this process while it lives, so that
// hour keys and date texts are those of utc_time; puts the zone before back.
class UtcZone {
public:
    UtcZone();
    ~UtcZone();
    UtcZone(const UtcZone&) = delete;
    UtcZone& operator=(const UtcZone&) = delete;

private:
    std::optional<std::string> old_;
};

// The uid of an unprivileged user to run the program as when the tests run
// as root (so that file permissions apply), or nullopt when they do not.
std::optional<uid_t> unprivileged_user();

// The counter of the gdbm store whose file is `db` (DIR/NAME.EXT).
std::unique_ptr<Counter> gdbm_counter(const fs::path& db);

// True when the journal file `journal` guards no change: it is empty, or
// there is none.
bool journal_idle(const fs::path& journal);

// Colour of pixel (x, y) as 0xRRGGBB.
unsigned rgb_at(gdImagePtr im, int x, int y);

// A text as a counter file holds it: with its terminating zero byte.
std::string stored(const std::string& text);

// All records of a counter database, read with Debian's gdbm_dump so the
// check does not go through the program's own access layer. Keys and
// values are returned as stored, zero bytes included.
std::map<std::string, std::string> dump_db(const fs::path& db);

// dump_db without the terminating zero byte of each key and value: the
// records as the texts the program reads.
std::map<std::string, std::string> db_texts(const fs::path& db);

// Stores `records` in the gdbm file `db` (created when missing), keys and
// values with their terminating zero byte as the program stores them,
// without going through the program's own access layer.
void store_records(const fs::path& db, const std::map<std::string, std::string>& records);

// The figures `vornctl metrics` prints for `site`: the sum of the samples
// named `name` whose labels include every one of `labels`.
class MetricsFigures {
public:
    explicit MetricsFigures(const TempSite& site);
    double sum(const std::string& name, const std::map<std::string, std::string>& labels = {}) const;

    struct Sample {
        std::string name;
        std::map<std::string, std::string> labels;
        double value = 0;
    };
    std::vector<Sample> samples;
    std::string text;  // as Prometheus reads it
};

// The elements of an XML document in order, with their attributes and text.
struct Element {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::string text;
};
struct Doc {
    bool ok = false;
    std::vector<Element> elements;

    std::vector<const Element*> all(const std::string& name) const {
        std::vector<const Element*> found;
        for (const Element& e : elements)
            if (e.name == name) found.push_back(&e);
        return found;
    }
    // The label's and the value's rectangles (those with a class).
    std::vector<const Element*> parts() const {
        std::vector<const Element*> found;
        for (const Element& e : elements)
            if (e.name == "rect" && e.attrs.count("class")) found.push_back(&e);
        return found;
    }
    std::string attr(const std::string& name, const std::string& key) const {
        for (const Element& e : elements)
            if (e.name == name && e.attrs.count(key)) return e.attrs.at(key);
        return "";
    }
};

// `text` read by expat; `ok` false when it is no well-formed XML.
Doc parse_doc(const std::string& text);

}  // namespace vorn::test
