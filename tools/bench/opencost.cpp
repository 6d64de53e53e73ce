// Replays the database reads of a year chart (the bars: 12 months of 31
// day sums, then the period total: the same 372 day sums again, each day
// one reading open, 24 fetches and a close, 744 opens in all plus one for
// the total) with chosen gdbm open flags, and prints the time they take.
// It shows what the chart's time is made of apart from drawing.
//
// usage: opencost FILE YEAR [mmap|nommap] [rounds]
#include <gdbm.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

long day_sum(const char* file, int flags, const std::string& day) {
    GDBM_FILE db = gdbm_open(file, 0, GDBM_READER | flags, 0, nullptr);
    if (!db) {
        std::fprintf(stderr, "opencost: cannot open %s: %s\n", file, gdbm_strerror(gdbm_errno));
        std::exit(1);
    }
    long sum = 0;
    char key[32];
    for (int h = 0; h < 24; ++h) {
        std::snprintf(key, sizeof key, "%s/%02d", day.c_str(), h);
        datum k{key, static_cast<int>(std::strlen(key) + 1)};
        datum v = gdbm_fetch(db, k);
        if (v.dptr) {
            sum += std::strtol(v.dptr, nullptr, 10);
            std::free(v.dptr);
        }
    }
    gdbm_close(db);
    return sum;
}

long year_sum(const char* file, int flags, const std::string& year) {
    long sum = 0;
    char day[16];
    for (int m = 1; m <= 12; ++m) {
        for (int d = 1; d <= 31; ++d) {
            std::snprintf(day, sizeof day, "%s/%02d/%02d", year.c_str(), m, d);
            sum += day_sum(file, flags, day);
        }
    }
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: opencost FILE YEAR [mmap|nommap] [rounds]\n");
        return 2;
    }
    const int flags = GDBM_FAST | (argc > 3 && std::strcmp(argv[3], "nommap") == 0 ? GDBM_NOMMAP : 0);
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
    double best = 1e9;
    long total = 0;
    for (int r = 0; r < rounds; ++r) {
        auto start = std::chrono::steady_clock::now();
        total = year_sum(argv[1], flags, argv[2]) + year_sum(argv[1], flags, argv[2]);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (ms < best) best = ms;
    }
    std::printf("%s: 744 opens, 17856 fetches: best of %d %.1f ms (sum %ld)\n",
                flags & GDBM_NOMMAP ? "GDBM_NOMMAP" : "default", rounds, best, total);
    return 0;
}
