// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/query.h"

#include <cstring>

#include "base/support.h"

namespace vorn {

namespace {

constexpr char kPostMethod[] = "POST";

std::string read_body(RequestChannel& channel) {
    const char* length_text = channel.variable("CONTENT_LENGTH");
    const long length = length_text ? util_tolong(length_text) : 0;
    if (length <= 0) return "";
    if (length > kMaxPostBody) {
        support_errormsg("Request body too large (%ld bytes, at most %ld)", length, kMaxPostBody);
    }
    std::string body(static_cast<std::size_t>(length), '\0');
    const std::size_t got = channel.read(body.data(), body.size());
    if (got < body.size()) support_errormsg("Request body incomplete (%zu of %ld bytes)", got, length);
    // A C text ends at its first zero byte; a body that holds one ends there.
    body.resize(std::strlen(body.c_str()));
    return body;
}

}  // namespace

EntryList query_read(RequestChannel& channel) {
    EntryList pairs;
    if (const char* query = channel.variable("QUERY_STRING")) util_decodepairs(query, pairs);
    const char* method = channel.variable("REQUEST_METHOD");
    if (method && std::strcmp(method, kPostMethod) == 0) util_decodepairs(read_body(channel), pairs);
    return pairs;
}

}  // namespace vorn
