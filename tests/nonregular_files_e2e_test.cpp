// SPDX-License-Identifier: GPL-3.0-or-later
// A FIFO where the site has a file the counter reads (a digit picture, a
// chart background, the configuration, the robot list): an open or a read
// of it would wait for a writer for ever. Each is answered at once with the
// error of a file that cannot be opened, in a CGI run and by a worker, and
// no request answered with an error before its count counts a visit.
#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/util.h"
#include "fastcgi_client.h"
#include "harness.h"

namespace vorn::test {
namespace {

using std::chrono::milliseconds;

struct Place {
    const char* name;
    const char* file;     // made a FIFO
    const char* query;    // a request that reads it
    const char* message;  // the answer's error
    const char* counted;  // totcnt afterwards ("none": no visit)
    bool ignore_bots = false;
};

const Place kPlaces[] = {
    {"date_picture", "image/digits/d/h.gif", "mode=date&style=a",
     "Image file open error. ('./image/digits/d/h.gif')", "none"},
    // The visit counts before the pictures are read, as with a picture
    // that is missing.
    {"counter_picture", "image/digits/d/0.gif", "vdb=web&cntlen=3",
     "Image file open error. ('./image/digits/d/0.gif')", "1"},
    {"chart_background", "image/resource/imgmonth.rc", "vdb=web&mode=stat&when=month",
     "Error, './image/resource/imgmonth.rc' file not found", "none"},
    {"configuration", "conf/vc.conf", "vdb=web", "Configuration file('conf/vc.conf') not found.", "none"},
    {"robot_list", "conf/bots.txt", "vdb=web",
     "Configuration error. IGNORE_BOTS is yes but conf/bots.txt cannot be read (Invalid argument)", "none", true},
};

void PrintTo(const Place& p, std::ostream* os) { *os << p.name; }

std::string total(const TempSite& site) {
    const auto records = db_texts(site.path("save/web.db"));
    const auto it = records.find("totcnt");
    return it == records.end() ? "none" : it->second;
}

class SpecialFile : public ::testing::TestWithParam<std::tuple<Place, bool>> {
protected:
    void SetUp() override {
        const Place& place = std::get<0>(GetParam());
        site_.create_counter("web");
        if (place.ignore_bots) site_.write("conf/vc.conf", site_.read("conf/vc.conf") + "IGNORE_BOTS = yes\n");
        fs::remove(site_.path(place.file));
        ASSERT_EQ(mkfifo(site_.path(place.file).c_str(), 0644), 0);
    }
    TempSite site_;
};

TEST_P(SpecialFile, IsAnsweredAtOnceAsAFileThatCannotBeOpened) {
    const auto& [place, worker] = GetParam();
    std::string out;
    if (worker) {
        FastcgiWorker w(site_);
        UniqueFd fd(w.connect_socket());
        ASSERT_TRUE(fd);
        timeval wait{2, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        const FastcgiReply reply = fastcgi_exchange(fd.get(), request_variables(get(place.query)), "");
        EXPECT_TRUE(reply.complete) << "no answer within 2 s";
        out = reply.out;
        EXPECT_EQ(w.stop(), 0) << "the worker did not end on SIGTERM";
    } else {
        out = run_cgi_within(site_, get(place.query), milliseconds(2000)).out;
    }
    EXPECT_EQ(error_text(out).value_or("(no error image)"), place.message);
    EXPECT_EQ(total(site_), place.counted);
}

INSTANTIATE_TEST_SUITE_P(Places, SpecialFile, ::testing::Combine(::testing::ValuesIn(kPlaces), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_worker" : "_cgi");
                         });

}  // namespace
}  // namespace vorn::test
