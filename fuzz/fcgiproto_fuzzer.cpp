// SPDX-License-Identifier: GPL-3.0-or-later
// The FastCGI records a worker reads from a connection: whatever the bytes,
// the reader keeps to its bounds, and reading them in pieces (as they come
// off a socket) gives the same requests and the same protocol answers as
// reading them at once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "web/fcgiproto.h"

namespace {

constexpr std::size_t kMaxParams = 4096;
constexpr std::size_t kMaxBody = 512;

struct Reading {
    std::vector<vorn::FcgiRequest> requests;
    std::string reply;
    bool broken = false;
};

// Reads `bytes` in pieces of `piece` bytes (0: at once).
Reading read(std::string_view bytes, std::size_t piece) {
    vorn::FcgiReader reader(kMaxParams, kMaxBody);
    Reading r;
    std::size_t at = 0;
    do {
        const std::size_t n = piece == 0 ? bytes.size() : std::min(piece, bytes.size() - at);
        std::string_view next = bytes.substr(at, n);
        at += n;
        for (;;) {
            const auto status = reader.feed(next, r.reply);
            next = {};
            if (status == vorn::FcgiReader::Status::kBroken) {
                r.broken = true;
                return r;
            }
            if (status == vorn::FcgiReader::Status::kMore) break;
            r.requests.push_back(reader.take());
            const vorn::FcgiRequest& q = r.requests.back();
            FUZZ_CHECK(q.id != 0);
            FUZZ_CHECK(q.body.size() <= kMaxBody);
            std::size_t params = 0;
            for (const auto& [name, value] : q.params) params += name.size() + value.size();
            FUZZ_CHECK(params <= kMaxParams);
        }
    } while (at < bytes.size());
    return r;
}

bool same(const Reading& a, const Reading& b) {
    if (a.broken != b.broken || a.reply != b.reply || a.requests.size() != b.requests.size()) return false;
    for (std::size_t i = 0; i < a.requests.size(); ++i) {
        const vorn::FcgiRequest& x = a.requests[i];
        const vorn::FcgiRequest& y = b.requests[i];
        if (x.id != y.id || x.keep_conn != y.keep_conn || x.params != y.params || x.body != y.body) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the size of the pieces.
    const std::size_t piece = 1 + data[0] % 64;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Reading whole = read(bytes, 0);
    FUZZ_CHECK(same(whole, read(bytes, piece)));
    // An answer's records, walked back: its stdout stream is the bytes
    // given, ended by an empty record, and FCGI_END_REQUEST comes last.
    for (const vorn::FcgiRequest& q : whole.requests) {
        const std::string answer = vorn::fcgiproto_answer(q.id, q.body, 0);
        std::string out;
        std::size_t at = 0, last = 0;
        bool ended = false;
        while (at + 8 <= answer.size()) {
            const auto b = [&](std::size_t i) { return static_cast<unsigned char>(answer[at + i]); };
            FUZZ_CHECK(b(0) == 1 && ((b(2) << 8) | b(3)) == q.id);
            const std::size_t length = (b(4) << 8) | b(5);
            if (b(1) == 6) {
                FUZZ_CHECK(!ended);
                ended = length == 0;
                out.append(answer, at + 8, length);
            }
            last = b(1);
            at += 8 + length + b(6);
        }
        FUZZ_CHECK(at == answer.size() && last == 3 && ended && out == q.body);
    }
    return 0;
}
