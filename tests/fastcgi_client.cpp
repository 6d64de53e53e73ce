// SPDX-License-Identifier: GPL-3.0-or-later
#include "fastcgi_client.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace vorn::test {

namespace {

// Record types and the responder role of the FastCGI protocol, version 1.
constexpr unsigned char kVersion = 1;
constexpr unsigned char kBeginRequest = 1;
constexpr unsigned char kEndRequest = 3;
constexpr unsigned char kParams = 4;
constexpr unsigned char kStdin = 5;
constexpr unsigned char kStdout = 6;
constexpr unsigned char kStderr = 7;
constexpr unsigned kResponder = 1;
constexpr std::size_t kMaxContent = 65535;

// Sends `data` whole on the socket `fd`; a peer that closed the connection
// is a failure, not a SIGPIPE that ends the tests.
bool write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string record(unsigned char type, int id, const std::string& content) {
    std::string r;
    r.push_back(static_cast<char>(kVersion));
    r.push_back(static_cast<char>(type));
    r.push_back(static_cast<char>((id >> 8) & 0xFF));
    r.push_back(static_cast<char>(id & 0xFF));
    r.push_back(static_cast<char>((content.size() >> 8) & 0xFF));
    r.push_back(static_cast<char>(content.size() & 0xFF));
    r.push_back(0);  // no padding
    r.push_back(0);
    return r + content;
}

// A stream's records: the content in pieces of at most kMaxContent bytes,
// then the empty record that ends it.
std::string stream(unsigned char type, int id, const std::string& content) {
    std::string out;
    for (std::size_t at = 0; at < content.size(); at += kMaxContent) out += record(type, id, content.substr(at, kMaxContent));
    return out + record(type, id, "");
}

void put_length(std::string& out, std::size_t n) {
    if (n < 128) {
        out.push_back(static_cast<char>(n));
        return;
    }
    out.push_back(static_cast<char>(((n >> 24) & 0x7F) | 0x80));
    out.push_back(static_cast<char>((n >> 16) & 0xFF));
    out.push_back(static_cast<char>((n >> 8) & 0xFF));
    out.push_back(static_cast<char>(n & 0xFF));
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

std::string fastcgi_request_bytes(const std::vector<std::string>& params, const std::string& body, int request_id) {
    std::string begin(8, '\0');
    begin[0] = static_cast<char>((kResponder >> 8) & 0xFF);
    begin[1] = static_cast<char>(kResponder & 0xFF);
    std::string pairs;
    for (const std::string& p : params) {
        const std::size_t eq = p.find('=');
        const std::string name = p.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : p.substr(eq + 1);
        put_length(pairs, name.size());
        put_length(pairs, value.size());
        pairs += name + value;
    }
    return record(kBeginRequest, request_id, begin) + stream(kParams, request_id, pairs) +
           stream(kStdin, request_id, body);
}

FastcgiReply fastcgi_exchange(int fd, const std::vector<std::string>& params, const std::string& body,
                              int request_id) {
    FastcgiReply reply;
    const std::string request = fastcgi_request_bytes(params, body, request_id);
    if (!write_all(fd, request)) return reply;

    for (;;) {
        unsigned char h[8];
        if (!read_all(fd, reinterpret_cast<char*>(h), sizeof h)) return reply;
        const std::size_t length = (static_cast<std::size_t>(h[4]) << 8) | h[5];
        std::string content(length + h[6], '\0');
        if (!read_all(fd, content.data(), content.size())) return reply;
        content.resize(length);
        const int id = (h[2] << 8) | h[3];
        if (h[0] != kVersion || id != request_id) return reply;
        if (h[1] == kStdout) {
            reply.out += content;
        } else if (h[1] == kStderr) {
            reply.err += content;
        } else if (h[1] == kEndRequest && content.size() >= 5) {
            const auto b = [&](int i) { return static_cast<unsigned char>(content[i]); };
            reply.app_status = static_cast<int>((static_cast<unsigned>(b(0)) << 24) | (b(1) << 16) | (b(2) << 8) | b(3));
            reply.protocol_status = b(4);
            reply.complete = true;
            return reply;
        }
    }
}

FastcgiWorker::FastcgiWorker(const TempSite& site, const std::string& program,
                             const std::vector<std::string>& extra_env) {
    std::random_device rd;
    do {
        dir_ = fs::temp_directory_path() / ("vornfcgi-" + std::to_string(rd()));
    } while (!fs::create_directory(dir_));
    socket_ = dir_ / "sock";

    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 64) != 0) {
        ADD_FAILURE() << "cannot listen on " << socket_ << ": " << std::strerror(errno);
        if (listener >= 0) ::close(listener);
        return;
    }
    std::vector<std::string> env = program_env();
    for (const std::string& e : extra_env) {
        const std::string name = e.substr(0, e.find('=') + 1);
        std::erase_if(env, [&](const std::string& had) { return had.rfind(name, 0) == 0; });
        env.push_back(e);
    }
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const fs::path out = dir_ / "out", err = dir_ / "err";
    pid_ = fork();
    if (pid_ == 0) {
        // What spawn-fcgi does: the listening socket becomes standard input.
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0 || chdir(site.root().c_str()) != 0) _exit(127);
        dup2(listener, 0);
        dup2(o, 1);
        dup2(e, 2);
        // Nothing else of the test process reaches the worker, as with a
        // process manager: what it holds it opened itself.
        close_range(3, ~0U, 0);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    ::close(listener);
}

FastcgiWorker::~FastcgiWorker() {
    if (pid_ > 0) stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

int FastcgiWorker::connect_socket() const {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

FastcgiReply FastcgiWorker::ask(const Request& req) const {
    UniqueFd fd(connect_socket());
    EXPECT_TRUE(fd) << "cannot connect to the worker";
    if (!fd) return {};
    FastcgiReply r = fastcgi_exchange(fd.get(), request_variables(req), req.body.value_or(""));
    EXPECT_TRUE(r.complete) << "no end of request; query: " << req.query;
    return r;
}

long FastcgiWorker::resident_kib() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

long FastcgiWorker::cpu_ticks() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The fields after the command's closing parenthesis; utime and stime
    // are the 12th and 13th of them.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i >= 12) ticks += std::stol(field);
    }
    return ticks;
}

int FastcgiWorker::open_descriptors() const {
    int n = 0;
    std::error_code ec;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        ++n;
    }
    return ec ? -1 : n;
}

int FastcgiWorker::idle_descriptors(int expected) const {
    // The worker closes a connection just after it has sent the end of the
    // request; give it a moment to get back to its socket.
    int n = open_descriptors();
    for (int i = 0; i < 200 && n != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = open_descriptors();
    }
    return n;
}

bool FastcgiWorker::alive() {
    if (pid_ <= 0) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == 0) return true;
    collect(st);
    return false;
}

void FastcgiWorker::collect(int st) {
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    out_ = slurp(dir_ / "out");
    err_ = slurp(dir_ / "err");
}

int FastcgiWorker::stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int st = 0;
    pid_t got = 0;
    while ((got = waitpid(pid_, &st, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (got == 0) {
        ADD_FAILURE() << "the worker did not end within 10 s of SIGTERM";
        kill(pid_, SIGKILL);
        waitpid(pid_, &st, 0);
    }
    collect(st);
    return status_;
}

}  // namespace vorn::test
