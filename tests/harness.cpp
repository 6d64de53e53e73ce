// SPDX-License-Identifier: GPL-3.0-or-later
#include "harness.h"

#include <expat.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include <gdbm.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "gdbm/dbutil.h"
#include "picture/errorimage.h"
#include "vorncounter/vc.h"

namespace vorn::test {

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

fs::path unique_dir(const std::string& prefix) {
    std::random_device rd;
    for (;;) {
        fs::path p = fs::temp_directory_path() / (prefix + std::to_string(rd()));
        if (fs::create_directory(p)) return p;
    }
}

// Environment every child gets besides the request: sanitizer reports go to
// standard error and must never pass unnoticed, and the local time zone is
// fixed so date texts are reproducible.
std::vector<std::string> base_env() {
    return {"PATH=/usr/bin:/bin", "TZ=UTC",
            "ASAN_OPTIONS=abort_on_error=0:exitcode=86:detect_leaks=1",
            "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87"};
}

}  // namespace

std::vector<std::string> program_env() { return base_env(); }

std::vector<std::string> request_variables(const Request& req) {
    std::vector<std::string> env;
    if (!req.console && !req.extra_env.count("REMOTE_ADDR")) env.push_back("REMOTE_ADDR=127.0.0.1");
    env.push_back("QUERY_STRING=" + req.query);
    if (req.method) env.push_back("REQUEST_METHOD=" + *req.method);
    if (req.omit_content_length) {
        // a POST whose length the server did not pass on
    } else if (req.content_length) {
        env.push_back("CONTENT_LENGTH=" + *req.content_length);
    } else if (req.body && req.method == "POST") {
        env.push_back("CONTENT_LENGTH=" + std::to_string(req.body->size()));
    }
    for (const auto& [k, v] : req.extra_env) env.push_back(k + "=" + v);
    return env;
}

namespace {

std::vector<std::string> cgi_env(const Request& req) {
    std::vector<std::string> env = base_env();
    for (std::string& v : request_variables(req)) env.push_back(std::move(v));
    return env;
}

std::string base64_decode(const std::string& text) {
    auto val = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    int bits = 0, acc = 0;
    for (char c : text) {
        int v = val(c);
        if (v < 0) continue;
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

}  // namespace

TempSite::TempSite(bool copy_built_site) : root_(unique_dir("vornsite-")) {
    if (copy_built_site) {
        fs::copy(kBuiltSite, root_, fs::copy_options::recursive);
        fs::remove(root_ / "image" / ".stamp");
    }
    fs::create_directories(root_ / "save");
}

TempSite::~TempSite() {
    std::error_code ec;
    fs::permissions(root_ / "save", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
}

void TempSite::write(const std::string& rel, const std::string& content) const {
    fs::create_directories(path(rel).parent_path());
    std::ofstream out(path(rel), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TempSite::read(const std::string& rel) const { return slurp(path(rel)); }

void TempSite::create_counter(const std::string& name) const {
    ASSERT_EQ(dbutil_create(path("save/" + name + ".db").string()), 1) << name;
}

Request get(const std::string& query) {
    Request req;
    req.query = query;
    return req;
}

Child start_program(const std::string& program, const fs::path& cwd,
                    const std::vector<std::string>& env, const std::string& input,
                    std::optional<uid_t> user, const std::vector<std::string>& args) {
    Child c;
    fs::path dir = unique_dir("vornrun-");
    c.in = dir / "in";
    c.out = dir / "out";
    c.err = dir / "err";
    {
        std::ofstream in(c.in, std::ios::binary);
        in << input;
    }
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        int in = open(c.in.c_str(), O_RDONLY);
        int out = open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(127);
        if (user) {
            const struct passwd* pw = getpwuid(*user);
            if (!pw || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(*user) != 0) _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return c;
}

// The answer of a child that has ended with wait status `st`.
static RunResult collect_program(Child& c, int st) {
    RunResult r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = slurp(c.out);
    r.err = slurp(c.err);
    std::error_code ec;
    fs::remove_all(c.out.parent_path(), ec);
    return r;
}

RunResult finish_program(Child& c) {
    int st = 0;
    waitpid(c.pid, &st, 0);
    return collect_program(c, st);
}

RunResult finish_program_within(Child& c, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int st = 0;
    bool killed = false;
    while (waitpid(c.pid, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &st, 0);
            killed = true;
            break;
        }
        usleep(2000);
    }
    RunResult r = collect_program(c, st);
    r.timed_out = killed;
    return r;
}

Child start_cgi(const TempSite& site, const Request& req) {
    return start_program(kVorncounter, site.root(), cgi_env(req), req.body.value_or(""), req.user);
}

RunResult run_cgi(const TempSite& site, const Request& req) {
    Child c = start_cgi(site, req);
    RunResult r = finish_program(c);
    EXPECT_EQ(r.err, "") << "query: " << req.query;
    return r;
}

RunResult run_cgi_within(const TempSite& site, const Request& req, std::chrono::milliseconds limit) {
    Child c = start_cgi(site, req);
    RunResult r = finish_program_within(c, limit);
    EXPECT_FALSE(r.timed_out) << "no answer within " << limit.count() << " ms; query: " << req.query;
    EXPECT_EQ(r.err, "") << "query: " << req.query;
    return r;
}

RunResult run_admin(const TempSite& site, const std::string& input) {
    Child c = start_program(kVornadmin, site.root(), base_env(), input);
    RunResult r = finish_program(c);
    EXPECT_EQ(r.err, "");
    return r;
}

Child start_ctl(const TempSite& site, const std::vector<std::string>& args, const std::string& input,
                std::optional<uid_t> user) {
    return start_program(kVornctl, site.root(), base_env(), input, user, args);
}

RunResult run_ctl(const TempSite& site, const std::vector<std::string>& args, const std::string& input) {
    Child c = start_ctl(site, args, input);
    RunResult r = finish_program(c);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_LT(r.status, 3) << testing::PrintToString(args) << "\n" << r.err;
    return r;
}

Answer decode_answer(const std::string& out) {
    Answer a;
    const std::string header = kImageHeader;
    EXPECT_EQ(out.substr(0, header.size()), header);
    if (out.compare(0, header.size(), header) != 0) return a;
    std::string gif = out.substr(header.size());
    EXPECT_EQ(gif.substr(0, 6), "GIF87a") << "no GIF signature after the header";
    a.image.reset(gdImageCreateFromGifPtr(static_cast<int>(gif.size()), gif.data()));
    EXPECT_NE(a.image, nullptr) << "answer does not decode as GIF";
    a.ok = a.image != nullptr;
    return a;
}

bool is_error_image(const std::string& out, const std::string& message) {
    const std::string header = kImageHeader;
    if (out.compare(0, header.size(), header) != 0) return false;
    const std::string gif = out.substr(header.size());
    GdImage got(gdImageCreateFromGifPtr(static_cast<int>(gif.size()),
                                        const_cast<char*>(gif.data())));
    GdImage want = errorimage_draw(message);
    if (!got || !want) return false;
    gdImagePtr g = got.get();
    gdImagePtr w = want.get();
    if (gdImageSX(g) != gdImageSX(w) || gdImageSY(g) != gdImageSY(w)) return false;
    // Same palette index and same colour at every pixel: gd's reader drops
    // palette entries no pixel uses, so the entry counts are not compared.
    for (int y = 0; y < gdImageSY(w); ++y) {
        for (int x = 0; x < gdImageSX(w); ++x) {
            if (gdImageGetPixel(g, x, y) != gdImageGetPixel(w, x, y)) return false;
            if (rgb_at(g, x, y) != rgb_at(w, x, y)) return false;
        }
    }
    return true;
}

std::optional<std::string> error_text(const std::string& out) {
    const std::string header = kImageHeader;
    if (out.compare(0, header.size(), header) != 0) return std::nullopt;
    const std::string gif = out.substr(header.size());
    GdImage got(gdImageCreateFromGifPtr(static_cast<int>(gif.size()), const_cast<char*>(gif.data())));
    if (!got || gdImageSY(got.get()) != 21 || (gdImageSX(got.get()) - 12) % 6 != 0) return std::nullopt;
    const int n = (gdImageSX(got.get()) - 12) / 6;
    // Every byte drawn once in the error image's colours, to compare cells.
    static const GdImage glyphs = [] {
        std::string all;
        for (int c = 32; c < 127; ++c) all.push_back(static_cast<char>(c));
        return errorimage_draw(all);
    }();
    std::string text;
    for (int k = 0; k < n; ++k) {
        char found = '?';
        for (int c = 32; c < 127; ++c) {
            bool same = true;
            for (int y = 4; y < 17 && same; ++y) {
                for (int x = 0; x < 6 && same; ++x) {
                    same = rgb_at(got.get(), 6 + 6 * k + x, y) == rgb_at(glyphs.get(), 6 + 6 * (c - 32) + x, y);
                }
            }
            if (same) {
                found = static_cast<char>(c);
                break;
            }
        }
        text.push_back(found);
    }
    return text;
}

std::optional<std::string> error_message(const std::function<void()>& action) {
    try {
        action();
    } catch (const ErrorAnswer& e) {
        return e.message();
    }
    return std::nullopt;
}

std::optional<uid_t> unprivileged_user() {
    if (geteuid() != 0) return std::nullopt;
    const struct passwd* pw = getpwnam("nobody");
    if (!pw) return std::nullopt;
    return pw->pw_uid;
}

std::time_t utc_time(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

UtcZone::UtcZone() {
    if (const char* tz = std::getenv("TZ")) old_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
}

UtcZone::~UtcZone() {
    if (old_) {
        setenv("TZ", old_->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

unsigned rgb_at(gdImagePtr im, int x, int y) {
    int c = gdImageGetPixel(im, x, y);
    return (static_cast<unsigned>(gdImageRed(im, c)) << 16) |
           (static_cast<unsigned>(gdImageGreen(im, c)) << 8) |
           static_cast<unsigned>(gdImageBlue(im, c));
}

std::string stored(const std::string& text) { return text + '\0'; }

std::map<std::string, std::string> dump_db(const fs::path& db) {
    std::map<std::string, std::string> records;
    std::string cmd = "gdbm_dump '" + db.string() + "' -";
    FILE* p = popen(cmd.c_str(), "r");
    EXPECT_NE(p, nullptr);
    if (!p) return records;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << "gdbm_dump failed on " << db;

    // Records follow the header as "#:len=N" lines, each followed by base64
    // lines; keys and values alternate.
    std::istringstream in(text);
    std::string line, chunk;
    std::vector<std::string> items;
    bool data = false, in_item = false;
    while (std::getline(in, line)) {
        if (!data) {
            data = line == "# End of header";
            continue;
        }
        if (line.rfind("#", 0) == 0) {
            if (in_item) items.push_back(base64_decode(chunk));
            in_item = line.rfind("#:len=", 0) == 0;
            chunk.clear();
            continue;
        }
        chunk += line;
    }
    for (size_t i = 0; i + 1 < items.size(); i += 2) records[items[i]] = items[i + 1];
    return records;
}

std::map<std::string, std::string> db_texts(const fs::path& db) {
    std::map<std::string, std::string> texts;
    for (const auto& [k, v] : dump_db(db)) texts[k.substr(0, k.size() - 1)] = v.substr(0, v.size() - 1);
    return texts;
}

void store_records(const fs::path& db, const std::map<std::string, std::string>& records) {
    GDBM_FILE dbf = gdbm_open(db.c_str(), 1024, GDBM_WRCREAT, 0644, nullptr);
    ASSERT_NE(dbf, nullptr) << db << ": " << gdbm_strerror(gdbm_errno);
    for (const auto& [k, v] : records) {
        datum key{const_cast<char*>(k.c_str()), static_cast<int>(k.size() + 1)};
        datum val{const_cast<char*>(v.c_str()), static_cast<int>(v.size() + 1)};
        EXPECT_EQ(gdbm_store(dbf, key, val, GDBM_REPLACE), 0) << k;
    }
    gdbm_close(dbf);
}

std::unique_ptr<Counter> gdbm_counter(const fs::path& db) {
    CGICONFIG config;
    config.store = "gdbm";
    config.dir_save = db.parent_path().string();
    config.dbfile_ext = db.extension().string().substr(1);
    return store_open(config)->counter(db.stem().string());
}

bool journal_idle(const fs::path& journal) {
    std::error_code ec;
    return !fs::exists(journal, ec) || fs::file_size(journal, ec) == 0;
}

MetricsFigures::MetricsFigures(const TempSite& site) {
    const RunResult text = run_ctl(site, {"metrics"});
    EXPECT_EQ(text.status, 0) << text.err;
    this->text = text.out;
    const RunResult json = run_ctl(site, {"metrics", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    const nlohmann::json parsed = nlohmann::json::parse(json.out, nullptr, false);
    if (!parsed.is_object()) return;
    for (const auto& sample : parsed["metrics"]) {
        Sample s{sample["name"], {}, sample["value"].get<double>()};
        for (const auto& [name, value] : sample["labels"].items()) s.labels[name] = value;
        samples.push_back(std::move(s));
    }
}

double MetricsFigures::sum(const std::string& name, const std::map<std::string, std::string>& labels) const {
    double total = 0;
    for (const Sample& s : samples) {
        if (s.name != name) continue;
        bool all = true;
        for (const auto& [label, value] : labels) {
            const auto it = s.labels.find(label);
            all = all && it != s.labels.end() && it->second == value;
        }
        if (all) total += s.value;
    }
    return total;
}

Doc parse_doc(const std::string& text) {
    struct State {
        Doc doc;
        std::vector<std::size_t> open;
    } state;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char* name, const XML_Char** atts) {
            State& s = *static_cast<State*>(data);
            Element e{name, {}, ""};
            for (int i = 0; atts[i]; i += 2) e.attrs[atts[i]] = atts[i + 1];
            s.open.push_back(s.doc.elements.size());
            s.doc.elements.push_back(std::move(e));
        },
        [](void* data, const XML_Char*) { static_cast<State*>(data)->open.pop_back(); });
    XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int len) {
        State& s = *static_cast<State*>(data);
        if (!s.open.empty()) s.doc.elements[s.open.back()].text.append(text, static_cast<std::size_t>(len));
    });
    state.doc.ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return state.doc;
}

}  // namespace vorn::test
