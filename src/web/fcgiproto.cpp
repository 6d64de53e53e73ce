// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/fcgiproto.h"

#include <algorithm>

namespace vorn {

namespace {

constexpr unsigned char kVersion = 1;
constexpr std::size_t kHeaderSize = 8;
// Most content of one record; stdout goes in pieces of a multiple of 8.
constexpr std::size_t kMaxContent = 65535;
constexpr std::size_t kStdoutPiece = 65528;

enum RecordType : unsigned {
    kBeginRequest = 1,
    kAbortRequest = 2,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kGetValues = 9,
    kGetValuesResult = 10,
    kUnknownType = 11,
};
constexpr unsigned kResponder = 1;
constexpr unsigned char kKeepConn = 1;
enum ProtocolStatus : unsigned char { kRequestComplete = 0, kCantMpxConn = 1, kUnknownRole = 3 };

// What FCGI_GET_VALUES learns of this application: one connection and one
// request at a time, as the web server should expect of one process.
constexpr std::pair<const char*, const char*> kValues[] = {
    {"FCGI_MAX_CONNS", "1"}, {"FCGI_MAX_REQS", "1"}, {"FCGI_MPXS_CONNS", "0"}};

unsigned _fcgiproto_byte(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

std::string _fcgiproto_record(unsigned type, std::uint16_t id, std::string_view content) {
    std::string r(kHeaderSize, '\0');
    r[0] = static_cast<char>(kVersion);
    r[1] = static_cast<char>(type);
    r[2] = static_cast<char>(id >> 8);
    r[3] = static_cast<char>(id & 0xFF);
    r[4] = static_cast<char>(content.size() >> 8);
    r[5] = static_cast<char>(content.size() & 0xFF);
    r.append(content);
    return r;
}

std::string _fcgiproto_end(std::uint16_t id, int app_status, unsigned char protocol_status) {
    const auto status = static_cast<std::uint32_t>(app_status);
    const char body[8] = {static_cast<char>(status >> 24), static_cast<char>((status >> 16) & 0xFF),
                          static_cast<char>((status >> 8) & 0xFF), static_cast<char>(status & 0xFF),
                          static_cast<char>(protocol_status), 0, 0, 0};
    return _fcgiproto_record(kEndRequest, id, std::string_view(body, sizeof body));
}

// One length of a name-value pair: one byte below 128, else four with the
// top bit set. False when `bytes` ends first.
bool _fcgiproto_length(std::string_view bytes, std::size_t& at, std::size_t& length) {
    if (at >= bytes.size()) return false;
    if ((_fcgiproto_byte(bytes, at) & 0x80) == 0) {
        length = _fcgiproto_byte(bytes, at++);
        return true;
    }
    if (bytes.size() - at < 4) return false;
    length = ((_fcgiproto_byte(bytes, at) & 0x7F) << 24) | (_fcgiproto_byte(bytes, at + 1) << 16) |
             (_fcgiproto_byte(bytes, at + 2) << 8) | _fcgiproto_byte(bytes, at + 3);
    at += 4;
    return true;
}

// Calls `pair(name, value)` for each name-value pair of `bytes`; false when
// they are cut short.
template <typename F>
bool _fcgiproto_pairs(std::string_view bytes, F pair) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t name = 0, value = 0;
        if (!_fcgiproto_length(bytes, at, name) || !_fcgiproto_length(bytes, at, value)) return false;
        if (bytes.size() - at < name || bytes.size() - at - name < value) return false;
        pair(bytes.substr(at, name), bytes.substr(at + name, value));
        at += name + value;
    }
    return true;
}

void _fcgiproto_putlength(std::string& out, std::size_t n) {
    if (n < 128) {
        out.push_back(static_cast<char>(n));
        return;
    }
    out.push_back(static_cast<char>(((n >> 24) & 0x7F) | 0x80));
    out.push_back(static_cast<char>((n >> 16) & 0xFF));
    out.push_back(static_cast<char>((n >> 8) & 0xFF));
    out.push_back(static_cast<char>(n & 0xFF));
}

}  // namespace

FcgiReader::Status FcgiReader::feed(std::string_view bytes, std::string& reply) {
    pending_.append(bytes);
    std::size_t at = 0;
    Status status = Status::kMore;
    while (status == Status::kMore && pending_.size() - at >= kHeaderSize) {
        const std::string_view header(pending_.data() + at, kHeaderSize);
        if (_fcgiproto_byte(header, 0) != kVersion) return Status::kBroken;
        const std::size_t length = (_fcgiproto_byte(header, 4) << 8) | _fcgiproto_byte(header, 5);
        const std::size_t padding = _fcgiproto_byte(header, 6);
        if (pending_.size() - at - kHeaderSize < length + padding) break;
        const auto id = static_cast<std::uint16_t>((_fcgiproto_byte(header, 2) << 8) | _fcgiproto_byte(header, 3));
        status = _record(_fcgiproto_byte(header, 1), id,
                         std::string_view(pending_.data() + at + kHeaderSize, length), reply);
        at += kHeaderSize + length + padding;
    }
    pending_.erase(0, at);
    return status;
}

FcgiReader::Status FcgiReader::_record(unsigned type, std::uint16_t id, std::string_view content,
                                       std::string& reply) {
    const bool ours = begun_ && id == request_.id;
    switch (type) {
        case kBeginRequest: {
            if (id == 0 || content.size() < 8) return Status::kBroken;
            if (begun_) {
                if (!ours) reply += _fcgiproto_end(id, 0, kCantMpxConn);
                return Status::kMore;
            }
            if (((_fcgiproto_byte(content, 0) << 8) | _fcgiproto_byte(content, 1)) != kResponder) {
                reply += _fcgiproto_end(id, 0, kUnknownRole);
                return Status::kMore;
            }
            request_ = FcgiRequest{};
            request_.id = id;
            request_.keep_conn = (_fcgiproto_byte(content, 2) & kKeepConn) != 0;
            params_.clear();
            begun_ = true;
            params_done_ = body_done_ = false;
            return Status::kMore;
        }
        case kAbortRequest:
            // The web server gave the request up before it was answered:
            // nothing of it is answered or counted.
            if (ours) {
                reply += _fcgiproto_end(id, 0, kRequestComplete);
                begun_ = false;
            }
            return Status::kMore;
        case kParams:
            if (!ours || params_done_) return Status::kMore;
            if (!content.empty()) {
                if (params_.size() + content.size() > max_params_) return Status::kBroken;
                params_.append(content);
                return Status::kMore;
            }
            params_done_ = true;
            if (!_fcgiproto_pairs(params_, [this](std::string_view name, std::string_view value) {
                    request_.params.emplace(std::string(name), std::string(value));
                })) {
                return Status::kBroken;
            }
            params_ = std::string();
            break;
        case kStdin:
            if (!ours || body_done_) return Status::kMore;
            if (content.empty()) {
                body_done_ = true;
                break;
            }
            request_.body.append(content.substr(0, max_body_ - std::min(max_body_, request_.body.size())));
            return Status::kMore;
        case kGetValues:
            if (id == 0) {
                std::string values;
                _fcgiproto_pairs(content, [&values](std::string_view name, std::string_view) {
                    for (const auto& [known, value] : kValues) {
                        if (name != known) continue;
                        _fcgiproto_putlength(values, name.size());
                        _fcgiproto_putlength(values, std::char_traits<char>::length(value));
                        values.append(name).append(value);
                    }
                });
                reply += _fcgiproto_record(kGetValuesResult, 0, values);
            }
            return Status::kMore;
        default:
            // A management record of a type this side does not know is
            // named back; records of other streams (FCGI_DATA) and of
            // requests that are not open are dropped.
            if (id == 0) {
                const char body[8] = {static_cast<char>(type), 0, 0, 0, 0, 0, 0, 0};
                reply += _fcgiproto_record(kUnknownType, 0, std::string_view(body, sizeof body));
            }
            return Status::kMore;
    }
    return begun_ && params_done_ && body_done_ ? Status::kRequest : Status::kMore;
}

FcgiRequest FcgiReader::take() {
    begun_ = false;
    FcgiRequest request = std::move(request_);
    request_ = FcgiRequest{};
    return request;
}

std::string fcgiproto_answer(std::uint16_t id, std::string_view out, int app_status) {
    std::string records;
    records.reserve(out.size() + out.size() / kStdoutPiece * kHeaderSize + 3 * kHeaderSize + 8);
    for (std::size_t at = 0; at < out.size(); at += kStdoutPiece) {
        records += _fcgiproto_record(kStdout, id, out.substr(at, kStdoutPiece));
    }
    records += _fcgiproto_record(kStdout, id, {});
    records += _fcgiproto_end(id, app_status, kRequestComplete);
    static_assert(kStdoutPiece <= kMaxContent);
    return records;
}

}  // namespace vorn
