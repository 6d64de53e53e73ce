// SPDX-License-Identifier: GPL-3.0-or-later
// The Redis store: the counters of a site on a Redis (or Valkey) server that
// several web servers share.
//
// Keys, all under REDIS_PREFIX (default "vorncounter:"), those of one
// counter NAME under its hash tag, so that they share one hash slot of a
// Redis Cluster:
//   PREFIX{NAME}            the counter's hash: "totcnt", "startdate", any
//                           record that is no hour, and an empty field that
//                           marks the counter as existing;
//   PREFIX{NAME}d:DAY       a hash per day ("YYYY/MM/DD"), a field "HH" per
//                           hour, each the decimal text of the gdbm record;
//   PREFIX{NAME}i           the set of its days (YYYYMMDD);
//   PREFIX{NAME}v:HASH      a visitor counted lately (REPEAT_MINUTES);
//   PREFIX{NAME}r:HASH      an address's counted moments (RATE_LIMIT);
//   PREFIX salt:YYYYMMDD    the day's secret salt of those hashes.
// A visit is one server-side script on the counter's keys: it raises
// "totcnt" and the hour and sets "startdate" at the first visit in one
// atomic step, so hits from any number of hosts at once lose nothing.
// Counters of the layout before (PREFIX counter:NAME, the set PREFIX
// counters) are read and counted where they are until migrate() moves them.
// The servers are store/rediscluster.h's: one server, or a cluster.
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
