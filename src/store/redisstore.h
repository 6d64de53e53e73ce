// SPDX-License-Identifier: GPL-3.0-or-later
// The Redis store: the counters of a site on a Redis (or Valkey) server that
// several web servers share.
//
// Keys, all under REDIS_PREFIX (default "vorncounter:"):
//   PREFIX counter:NAME            a hash per counter, with the fields the
//                                  gdbm file holds as records: "totcnt",
//                                  "startdate" and one per hour
//                                  "%Y/%m/%d/%H", each the same decimal or
//                                  date text (without the zero byte);
//   PREFIX counters                the set of the names of the counters that
//                                  exist;
//   PREFIX visits:NAME:HASH        a visitor counted lately (REPEAT_MINUTES),
//                                  as a keyed hash; expires with its window;
//   PREFIX salt:YYYYMMDD           the day's secret salt of those hashes;
//                                  expires a day later.
// A visit is one server-side script: it raises "totcnt" and the hour and
// sets "startdate" at the first visit in one atomic step, so hits from any
// number of hosts at once lose nothing. Each request connects once; the
// connection and every reply wait at most kRedisWait, so a server that is
// down or stalled is answered with an error image within about a second.
#pragma once

#include <chrono>
#include <memory>

#include "store/store.h"

namespace vorn {

// How long connecting and each reply may take.
inline constexpr std::chrono::milliseconds kRedisWait{1000};

// Longest counter name the Redis store takes (a gdbm counter's name is
// bounded by its path).
inline constexpr std::size_t kMaxRedisName = 240;

// The store on the server of `config` (REDIS_ADDR, REDIS_PREFIX,
// REDIS_PASSWORD_FILE). The password file is read now; the server is
// connected at the first operation.
std::unique_ptr<CounterStore> redisstore_open(const CGICONFIG& config, StoreKeep* keep = nullptr);

}  // namespace vorn
