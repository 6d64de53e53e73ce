// SPDX-License-Identifier: GPL-3.0-or-later
// Renders the pictures of the documentation: the counter program's answers
// to a list of requests, made in-process on a site at one fixed moment, so
// that the same build and site give the same bytes on any day. Each answer's
// body (its header lines checked and left off) becomes one file.
//
// usage: vornpictures SITE_DIR LIST OUT_DIR
//
// LIST holds one picture a line, "FILE QUERY" (the file name, ending in .gif
// or .svg, and the query string of the request); blank lines and lines
// starting with # are left out, and "-" reads the list from standard input.
// A picture whose file name starts with "error" must be answered with an
// error; any other must not be, so a broken site cannot slip an error
// picture into the documentation. The requests come from 192.0.2.1 (an
// address for documentation) with a browser's User-Agent, and are answered
// with SITE_DIR as the working directory, as a web server runs the program.
// Exit status 0 when every picture was written, 1 otherwise.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/support.h"
#include "config/config.h"
#include "vorncounter/vc.h"
#include "web/channel.h"

namespace {

// The moment every picture is answered at, in the site's zone: the day
// VornCounter was first released, in the afternoon.
constexpr int kYear = 2001, kMonth = 3, kDay = 11, kHour = 15, kMinute = 7;

constexpr char kRemoteAddr[] = "192.0.2.1";
constexpr char kUserAgent[] = "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0";
// A picture expected to be an error answer.
constexpr char kErrorPrefix[] = "error";

struct Picture {
    std::string file;
    std::string query;
    int line = 0;
};

// A GET request of `query` from a browser; the answer is kept in `answer`.
class RenderChannel final : public vorn::RequestChannel {
public:
    explicit RenderChannel(std::string query) : query_(std::move(query)) {}
    const char* variable(const char* name) override {
        const std::map<std::string, const char*> variables = {
            {"REMOTE_ADDR", kRemoteAddr},
            {"REQUEST_METHOD", "GET"},
            {"QUERY_STRING", query_.c_str()},
            {"HTTP_USER_AGENT", kUserAgent},
        };
        const auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second;
    }
    std::size_t read(char*, std::size_t) override { return 0; }
    void write(const char* data, std::size_t size) override { answer.append(data, size); }

    std::string answer;

private:
    std::string query_;
};

// The file name may not leave the output folder nor hide in it.
bool good_file(const std::string& file) {
    return !file.empty() && file[0] != '.' && file.find('/') == std::string::npos &&
           (file.ends_with(".gif") || file.ends_with(".svg"));
}

// The pictures of the list `in`, or none with the first fault on `why`.
bool read_list(std::istream& in, const std::string& name, std::vector<Picture>& pictures, std::string& why) {
    std::set<std::string> files;
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        std::istringstream fields(text);
        Picture picture{"", "", line};
        std::string extra;
        if (!(fields >> picture.file) || picture.file[0] == '#') continue;
        const std::string where = name + ":" + std::to_string(line) + ": ";
        if (!(fields >> picture.query) || fields >> extra) {
            why = where + "want FILE QUERY";
            return false;
        }
        if (!good_file(picture.file)) {
            why = where + "'" + picture.file + "' is no file name ending in .gif or .svg";
            return false;
        }
        if (!files.insert(picture.file).second) {
            why = where + "'" + picture.file + "' named twice";
            return false;
        }
        pictures.push_back(std::move(picture));
    }
    if (pictures.empty()) why = name + ": no pictures";
    return !pictures.empty();
}

// The body of `answer` when its header names the content type its file
// name wants; otherwise none, with the reason in `why`.
bool split_answer(const Picture& picture, const std::string& answer, std::string& body, std::string& why) {
    const std::size_t end = answer.find("\n\n");
    if (end == std::string::npos) {
        why = "no header";
        return false;
    }
    const std::string header = answer.substr(0, end + 1);
    const std::string type = picture.file.ends_with(".svg") ? "image/svg+xml" : "image/gif";
    if (header.find("\nContent-type: " + type + "\n") == std::string::npos &&
        header.rfind("Content-type: " + type + "\n", 0) != 0) {
        why = "the answer is no " + type + ":\n" + header;
        return false;
    }
    body = answer.substr(end + 2);
    return true;
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

// The fixed moment in the local time the site's configuration names.
bool fixed_moment(vorn::Worker& worker, std::time_t& now, std::string& why) {
    try {
        vorn::config_usezone(vorn::config_read(worker.config), worker.zone);
    } catch (const vorn::ErrorAnswer& e) {
        why = e.message();
        return false;
    }
    std::tm tm{};
    tm.tm_year = kYear - 1900;
    tm.tm_mon = kMonth - 1;
    tm.tm_mday = kDay;
    tm.tm_hour = kHour;
    tm.tm_min = kMinute;
    tm.tm_isdst = -1;
    now = std::mktime(&tm);
    if (now == static_cast<std::time_t>(-1)) why = "the fixed moment has no time in the site's zone";
    return now != static_cast<std::time_t>(-1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: vornpictures SITE_DIR LIST OUT_DIR\n";
        return 2;
    }
    const std::string site = argv[1], list = argv[2];
    std::vector<Picture> pictures;
    std::string why;
    std::ifstream file;
    if (list != "-") {
        file.open(list);
        if (!file) {
            std::cerr << "vornpictures: " << list << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    if (!read_list(list == "-" ? std::cin : file, list == "-" ? "standard input" : list, pictures, why)) {
        std::cerr << "vornpictures: " << why << "\n";
        return 1;
    }
    // The output folder is named before the working directory changes.
    char* out_real = realpath(argv[3], nullptr);
    struct stat st {};
    if (!out_real || stat(out_real, &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::cerr << "vornpictures: " << argv[3] << " is no folder\n";
        std::free(out_real);
        return 1;
    }
    const std::string out = out_real;
    std::free(out_real);
    if (chdir(site.c_str()) != 0) {
        std::cerr << "vornpictures: " << site << ": " << std::strerror(errno) << "\n";
        return 1;
    }

    // A persistent worker, as a FastCGI worker answers: the digit pictures
    // are decoded once for all requests.
    vorn::Worker worker(true);
    std::time_t now = 0;
    if (!fixed_moment(worker, now, why)) {
        std::cerr << "vornpictures: " << site << ": " << why << "\n";
        return 1;
    }
    worker.clock = [now] { return vorn::Clock(now); };

    int failed = 0;
    for (const Picture& picture : pictures) {
        RenderChannel channel(picture.query);
        const int status = vorn::vc_answer(channel, worker);
        std::string body;
        const bool error_wanted = picture.file.rfind(kErrorPrefix, 0) == 0;
        if (status != 0 && !error_wanted) {
            why = "answered with an error";
        } else if (status == 0 && error_wanted) {
            why = "answered without an error";
        } else if (split_answer(picture, channel.answer, body, why)) {
            if (write_file(out + "/" + picture.file, body)) continue;
            why = std::string("cannot write it: ") + std::strerror(errno);
        }
        std::cerr << "vornpictures: " << list << ":" << picture.line << ": " << picture.file << " (?"
                  << picture.query << "): " << why << "\n";
        ++failed;
    }
    std::cout << pictures.size() - static_cast<std::size_t>(failed) << " pictures in " << out << "\n";
    return failed == 0 ? 0 : 1;
}
