// SPDX-License-Identifier: GPL-3.0-or-later
// The request's parameters: the query string and, for a POST request, the
// form-encoded body, decoded into name/value pairs once, when the request
// is read.
#pragma once

#include "base/util.h"
#include "web/channel.h"

namespace vorn {

// Largest POST body read. A counter request needs a few hundred bytes; a
// longer announced body is refused before any byte of it is read, so one
// request can never make the process read or allocate without bound.
inline constexpr long kMaxPostBody = 64 * 1024;

// The pairs of the request on `channel`: those of QUERY_STRING first (read
// whatever the method), then, when REQUEST_METHOD is exactly "POST", those
// of the body of CONTENT_LENGTH bytes (its leading digits, as strtol reads
// them; 0 or less reads nothing). A body ends at its first zero byte.
// Throws ErrorAnswer for a body that is refused:
//   "Request body too large (N bytes, at most 65536)"
//   "Request body incomplete (N of M bytes)"
EntryList query_read(RequestChannel& channel);

}  // namespace vorn
