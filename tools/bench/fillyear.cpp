// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a counter database that holds one hour record for every hour of
// a year, as the counter program would have left it after a year of
// visits: keys and values are texts stored with their terminating zero
// byte, "totcnt" is the sum of all hour records and "startdate" the first
// hour key. Used by the benchmark to time the charts on a full year.
//
// usage: fillyear FILE YEAR
#include <gdbm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool store(GDBM_FILE db, const std::string& key, const std::string& value) {
    datum k{const_cast<char*>(key.c_str()), static_cast<int>(key.size() + 1)};
    datum v{const_cast<char*>(value.c_str()), static_cast<int>(value.size() + 1)};
    return gdbm_store(db, k, v, GDBM_REPLACE) == 0;
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fillyear FILE YEAR\n");
        return 2;
    }
    const int year = std::atoi(argv[2]);
    GDBM_FILE db = gdbm_open(argv[1], 1024, GDBM_NEWDB, 0644, nullptr);
    if (!db) {
        std::fprintf(stderr, "fillyear: cannot create %s: %s\n", argv[1], gdbm_strerror(gdbm_errno));
        return 1;
    }
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    long total = 0;
    int records = 0;
    char key[32];
    std::string first;
    for (int m = 1; m <= 12; ++m) {
        const int days = kDays[m - 1] + (m == 2 && leap(year) ? 1 : 0);
        for (int d = 1; d <= days; ++d) {
            for (int h = 0; h < 24; ++h) {
                std::snprintf(key, sizeof key, "%04d/%02d/%02d/%02d", year, m, d, h);
                // A day-and-night shape with some spread, never zero.
                const long hits = 1 + (h >= 8 && h <= 22 ? 20 : 3) + (d * 7 + h * 13) % 11;
                if (!store(db, key, std::to_string(hits))) {
                    std::fprintf(stderr, "fillyear: store failed: %s\n", gdbm_strerror(gdbm_errno));
                    return 1;
                }
                if (first.empty()) first = key;
                total += hits;
                ++records;
            }
        }
    }
    if (!store(db, "totcnt", std::to_string(total)) || !store(db, "startdate", first)) {
        std::fprintf(stderr, "fillyear: store failed: %s\n", gdbm_strerror(gdbm_errno));
        return 1;
    }
    gdbm_close(db);
    std::printf("%d hour records, totcnt %ld\n", records, total);
    return 0;
}
