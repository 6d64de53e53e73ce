// SPDX-License-Identifier: GPL-3.0-or-later
// Concurrent HTTP/1.1 clients for the FastCGI benchmark: CLIENTS threads,
// each on a keep-alive connection to 127.0.0.1:PORT (a new one when the
// server closes it), send REQUESTS GETs of PATH in all and sort the
// answers the way tools/bench/loadclient.py does: a whole GIF is a picture
// or, with the error image's palette and height, an error (a time-out when
// it has the width of "DB open error. Time out. Please, try again.");
// anything else is broken. With --any every whole answer counts as a
// picture, whatever its status (the empty CGI sends no header, so the
// server answers it with an error status).
//
// Prints one line: answers/s, p50 and p99 latency in ms, and the counts.
//
//   httpload PORT PATH CLIENTS REQUESTS [--any]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const unsigned char kErrorPalette[] = {0, 0, 0, 207, 207, 255, 79, 79, 255, 0, 255, 0};
constexpr int kTimeoutWidth = 6 * 43 + 12;  // the time-out message has 43 characters

enum Kind { kPicture, kError, kTimeout, kBroken, kKinds };
const char* kKindNames[] = {"pictures", "errors", "timeouts", "broken"};

// Skips GIF sub-blocks from `p`; the position after the terminator or npos.
std::size_t skip_blocks(const std::string& d, std::size_t p) {
    while (p < d.size()) {
        const unsigned n = static_cast<unsigned char>(d[p++]);
        if (n == 0) return p;
        p += n;
    }
    return std::string::npos;
}

Kind classify(const std::string& d) {
    if (d.size() < 13 || (d.compare(0, 6, "GIF87a") != 0 && d.compare(0, 6, "GIF89a") != 0)) return kBroken;
    const auto u = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(d[i])); };
    const unsigned width = u(6) | u(7) << 8, height = u(8) | u(9) << 8, flags = u(10);
    std::size_t pos = 13;
    std::string palette;
    if (flags & 0x80) {
        const std::size_t size = 3u * (2u << (flags & 7));
        palette = d.substr(pos, size);
        pos += size;
    }
    while (pos != std::string::npos && pos < d.size()) {
        const unsigned tag = u(pos);
        if (tag == 0x3B) {
            if (pos != d.size() - 1) return kBroken;
            const bool error = height == 21 && palette.size() >= sizeof kErrorPalette &&
                               std::memcmp(palette.data(), kErrorPalette, sizeof kErrorPalette) == 0;
            if (!error) return kPicture;
            return width == kTimeoutWidth ? kTimeout : kError;
        }
        if (tag == 0x21) {
            pos = skip_blocks(d, pos + 2);
        } else if (tag == 0x2C) {
            if (pos + 10 > d.size()) return kBroken;
            const unsigned local = u(pos + 9);
            pos += 10;
            if (local & 0x80) pos += 3u * (2u << (local & 7));
            pos = skip_blocks(d, pos + 1);
        } else {
            return kBroken;
        }
    }
    return kBroken;
}

class Connection {
public:
    explicit Connection(int port) : port_(port) {}
    ~Connection() { drop(); }

    // One GET; false when no whole answer came. `status` and `body` are set.
    bool get(const std::string& path, int& status, std::string& body) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fd_ < 0 && !open()) return false;
            const std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            if (send(fd_, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size()) &&
                answer(status, body)) {
                return true;
            }
            drop();
            if (!fresh_) continue;  // a kept connection the server had closed
            return false;
        }
        return false;
    }

private:
    bool open() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            drop();
            return false;
        }
        buf_.clear();
        fresh_ = true;
        return true;
    }
    void drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool fill() {
        char tmp[65536];
        const ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) return false;
        buf_.append(tmp, static_cast<std::size_t>(n));
        return true;
    }
    bool answer(int& status, std::string& body) {
        std::size_t end;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) return false;
        }
        fresh_ = false;
        std::string head = buf_.substr(0, end);
        buf_.erase(0, end + 4);
        for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        status = std::atoi(head.c_str() + 9);
        const bool closes = head.find("\r\nconnection: close") != std::string::npos;
        body.clear();
        const std::size_t cl = head.find("\r\ncontent-length:");
        if (cl != std::string::npos) {
            const std::size_t n = std::strtoul(head.c_str() + cl + 17, nullptr, 10);
            while (buf_.size() < n) {
                if (!fill()) return false;
            }
            body = buf_.substr(0, n);
            buf_.erase(0, n);
        } else if (head.find("\r\ntransfer-encoding: chunked") != std::string::npos) {
            for (;;) {
                std::size_t line;
                while ((line = buf_.find("\r\n")) == std::string::npos) {
                    if (!fill()) return false;
                }
                const std::size_t n = std::strtoul(buf_.c_str(), nullptr, 16);
                while (buf_.size() < line + 2 + n + 2) {
                    if (!fill()) return false;
                }
                body.append(buf_, line + 2, n);
                buf_.erase(0, line + 2 + n + 2);
                if (n == 0) break;
            }
        } else {
            while (fill()) {
            }
            body.swap(buf_);
            drop();
            return true;
        }
        if (closes) drop();
        return true;
    }

    int port_;
    int fd_ = -1;
    bool fresh_ = false;
    std::string buf_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: httpload PORT PATH CLIENTS REQUESTS [--any]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string path = argv[2];
    const int clients = std::atoi(argv[3]);
    const long requests = std::atol(argv[4]);
    const bool any = argc > 5 && std::strcmp(argv[5], "--any") == 0;

    std::atomic<long> next{0};
    std::mutex m;
    std::vector<double> latencies;
    long kinds[kKinds] = {};
    long failed = 0;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            Connection conn(port);
            std::vector<double> mine;
            long my_kinds[kKinds] = {}, my_failed = 0;
            std::string body;
            while (next.fetch_add(1) < requests) {
                int status = 0;
                const auto t0 = Clock::now();
                const bool got = conn.get(path, status, body);
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                if (!got || (!any && status != 200)) {
                    ++my_failed;
                } else {
                    ++my_kinds[any ? kPicture : classify(body)];
                }
            }
            std::lock_guard<std::mutex> lock(m);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
            for (int k = 0; k < kKinds; ++k) kinds[k] += my_kinds[k];
            failed += my_failed;
        });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, static_cast<std::size_t>(q * latencies.size()))];
    };
    std::printf("%.0f answers/s  p50 %.2f ms  p99 %.2f ms ", static_cast<double>(requests) / seconds, at(0.50), at(0.99));
    for (int k = 0; k < kKinds; ++k) std::printf(" %s %ld", kKindNames[k], kinds[k]);
    std::printf(" failed %ld\n", failed);
    return 0;
}
