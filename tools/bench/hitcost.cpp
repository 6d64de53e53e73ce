// SPDX-License-Identifier: GPL-3.0-or-later
// The bound of hits on one counter: a hit holds the counter's exclusive
// lock while it opens the file, reads the total and the hour, journals and
// stores the change and closes the file (which syncs it), so one counter
// takes at most 1 / (that time) hits per second, however many workers
// serve it. Times that cycle through the program's own store layer, and
// one fsync of a small file for comparison.
//
// usage: hitcost FILE [ROUNDS]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/support.h"
#include "gdbm/dbutil.h"
#include "store/increment.h"

namespace {

using Stopwatch = std::chrono::steady_clock;

double ms_since(Stopwatch::time_point t0) {
    return std::chrono::duration<double, std::milli>(Stopwatch::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hitcost FILE [ROUNDS]\n");
        return 2;
    }
    const std::string file = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 500;
    try {
        // The time a hit holds the counter's lock: from its open to its
        // release. The file's sync to disk comes after, outside the lock.
        double locked = 0;
        for (int i = 0; i < rounds; ++i) {
            const auto t0 = Stopwatch::now();
            vorn::DbFile db = vorn::dbutil_open(file, vorn::DbMode::kWrite);
            std::optional<std::string> total = vorn::dbutil_fetch(db, "totcnt");
            const std::string hour = vorn::support_returntime(vorn::Clock::system(), vorn::TimeStyle::kHour, 0);
            std::optional<std::string> count = vorn::dbutil_fetch(db, hour);
            vorn::dbutil_update(db, {{"totcnt", vorn::support_counterupdate(total.value_or("0"))},
                                     {hour, vorn::support_counterupdate(count.value_or("0"))}});
            vorn::GdbmHandle unsynced = vorn::dbutil_closelater(db);
            locked += ms_since(t0);
        }
        const double hit = locked / rounds;

        const std::string scratch = file + ".fsync";
        int fd = open(scratch.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        const auto t0 = Stopwatch::now();
        for (int i = 0; i < rounds; ++i) {
            if (pwrite(fd, "x", 1, 0) != 1 || fsync(fd) != 0) return 1;
        }
        const double sync = ms_since(t0) / rounds;
        close(fd);
        unlink(scratch.c_str());
        std::printf("hit under the lock %.3f ms (bound %.0f hits/s on one counter); one fsync %.3f ms\n", hit,
                    1000.0 / hit, sync);
    } catch (const vorn::ErrorAnswer& e) {
        std::fprintf(stderr, "hitcost: %s\n", e.message().c_str());
        return 1;
    }
    return 0;
}
