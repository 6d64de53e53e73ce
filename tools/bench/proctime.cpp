// SPDX-License-Identifier: GPL-3.0-or-later
// Times whole processes started the way a web server starts a CGI
// program: fork, a working directory, an environment of its own, standard
// input from /dev/null and standard output into a pipe that is read to the
// end, then wait. Cases run interleaved round by round, so a slow moment
// of the machine touches every case alike, and each median is set beside
// the median of the first case (the floor).
//
// usage: proctime RUNS CASEFILE
// CASEFILE: one case per line, fields separated by tabs:
//   name  expected-exit-status  working-directory  program  [VAR=VALUE ...]
// Lines that are empty or begin with "#" are skipped. In a VALUE, "{run}"
// stands for the number of the run, so that each run can be a visitor of
// its own.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Case {
    std::string name;
    int expected_status = 0;
    std::string cwd;
    std::string program;
    std::vector<std::string> env;
    std::vector<double> ms;
    std::vector<double> answer_ms;  // until the answer was complete (end of file on the pipe)
    int started = 0;
    std::size_t answer_bytes = 0;
    std::string answer_head;
};

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// One run: returns the exit status (128 + signal when killed), fills the
// answer size and its first bytes.
int run_once(Case& c, double& elapsed_ms, double& answer_ms) {
    std::vector<std::string> env = c.env;
    const std::string run = std::to_string(c.started++);
    for (auto& e : env) {
        for (std::size_t at; (at = e.find("{run}")) != std::string::npos;) e.replace(at, 5, run);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {c.program.data(), nullptr};

    const double start = now_ms();
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null < 0 || chdir(c.cwd.c_str()) != 0) _exit(127);
        dup2(null, 0);
        dup2(fds[1], 1);
        dup2(null, 2);
        close(fds[0]);
        close(fds[1]);
        execve(c.program.c_str(), argv, envp.data());
        _exit(127);
    }
    close(fds[1]);
    std::string answer;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) answer.append(buf, static_cast<std::size_t>(n));
    answer_ms = now_ms() - start;
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    elapsed_ms = now_ms() - start;
    c.answer_bytes = answer.size();
    c.answer_head = answer.substr(0, 48);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const double pos = p * static_cast<double>(v.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(pos);
    const std::size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (pos - static_cast<double>(lo));
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char ch : s) out += (ch >= 32 && ch < 127) ? static_cast<char>(ch) : '.';
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: proctime RUNS CASEFILE\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    if (runs < 1) {
        std::fprintf(stderr, "proctime: RUNS must be at least 1\n");
        return 2;
    }
    std::ifstream in(argv[2]);
    std::vector<Case> cases;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f = split_tabs(line);
        if (f.size() < 4) {
            std::fprintf(stderr, "proctime: bad case line: %s\n", line.c_str());
            return 2;
        }
        Case c;
        c.name = f[0];
        c.expected_status = std::atoi(f[1].c_str());
        c.cwd = f[2];
        c.program = f[3];
        c.env.assign(f.begin() + 4, f.end());
        cases.push_back(std::move(c));
    }
    if (cases.empty()) {
        std::fprintf(stderr, "proctime: no cases in %s\n", argv[2]);
        return 2;
    }

    // Two unmeasured rounds fill the page cache and check each case
    // answers as expected before anything is timed.
    bool bad = false;
    for (int warm = 0; warm < 2; ++warm) {
        for (auto& c : cases) {
            double ms = 0, answered = 0;
            int status = run_once(c, ms, answered);
            if (status != c.expected_status) {
                std::fprintf(stderr, "proctime: %s exited with %d, expected %d; answer begins \"%s\"\n",
                             c.name.c_str(), status, c.expected_status,
                             printable(c.answer_head).c_str());
                bad = true;
            }
        }
        if (bad) return 1;
    }
    for (int r = 0; r < runs; ++r) {
        for (auto& c : cases) {
            double ms = 0, answered = 0;
            int status = run_once(c, ms, answered);
            if (status != c.expected_status) {
                std::fprintf(stderr, "proctime: %s exited with %d in run %d\n", c.name.c_str(), status, r);
                return 1;
            }
            c.ms.push_back(ms);
            c.answer_ms.push_back(answered);
        }
    }

    // The ratio of the minima is shown beside the ratio of the medians: on
    // a busy machine the minima are the steadier pair. "answer" is the
    // median time until the answer was complete (standard output closed, as
    // a web server sees it), beside the whole process of the floor.
    const double floor_ms = percentile(cases[0].ms, 0.5);
    const double floor_min = *std::min_element(cases[0].ms.begin(), cases[0].ms.end());
    std::printf("%-34s %10s %10s %10s %10s %9s %9s %8s %8s\n", "request", "median ms", "min ms", "p90 ms",
                "max ms", "min ratio", "bytes", "answer", "x floor");
    for (const auto& c : cases) {
        const double med = percentile(c.ms, 0.5);
        const double min = *std::min_element(c.ms.begin(), c.ms.end());
        std::printf("%-34s %10.3f %10.3f %10.3f %10.3f %9.2f %9zu %8.2f %8.2f\n", c.name.c_str(), med, min,
                    percentile(c.ms, 0.9), *std::max_element(c.ms.begin(), c.ms.end()), min / floor_min,
                    c.answer_bytes, percentile(c.answer_ms, 0.5) / floor_ms, med / floor_ms);
    }
    std::printf("(%d runs per request, interleaved; floor = %s)\n", runs, cases[0].name.c_str());
    return 0;
}
