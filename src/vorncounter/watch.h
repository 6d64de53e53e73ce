// SPDX-License-Identifier: GPL-3.0-or-later
// What the counter tells the operator of a site about itself: the figures
// of the metrics file (metrics/metrics.h) as each request adds them, and
// the two answers for the operator's tools, mode=metrics (the figures for
// Prometheus) and mode=health (for a load balancer's check), which only
// the addresses of METRICS_ADDR may ask for; to any other, and on a site
// without METRICS_ADDR, they are the unknown modes they always were.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "counting/rules.h"
#include "metrics/metrics.h"
#include "web/channel.h"

namespace vorn {

struct Worker;

// The header of the figures' answer.
inline constexpr char kMetricsHeader[] = "Content-type: text/plain; version=0.0.4\n\n";

// What the metrics learn of one request while it is answered.
struct Watched {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::string metrics;  // METRICS, once the configuration is read; empty: nothing is added
    MetricsAnswer answer;
};

// Whether the visitor of `channel` (its address as the counting rules see
// it, through TRUSTED_PROXIES) is among the addresses of METRICS_ADDR.
// False on a site without METRICS_ADDR; a bad entry is refused (throws).
bool watch_allowed(RequestChannel& channel, const CGICONFIG& config);

// Answers mode=metrics: the figures of the METRICS file in Prometheus' text
// format. Without METRICS, or with a file that cannot be read, the answer
// is 503 with the cause (and false returned).
bool watch_metrics(RequestChannel& channel, const CGICONFIG& config, Worker& worker);

// Answers mode=health: 200 and "ok" when the store answers (the store's
// ping), else 503 and the message of what fails. Returns whether it was
// healthy. (A site whose configuration cannot be read knows no
// METRICS_ADDR, and answers every request with the error image: a check
// should expect the body "ok", not only the status.)
bool watch_health(RequestChannel& channel, const CGICONFIG& config, Worker& worker);

// The metrics' name of a request's format.
MetricsFormat watch_format(const std::string& text);

// The outcome of a counter request that counted (none) or did not (why).
MetricsOutcome watch_outcome(const std::optional<Uncounted>& uncounted);

// The request's answer is written, with `outcome`: its time is taken.
void watch_answered(Watched& watched, MetricsOutcome outcome);

// Adds what `watched` learned of the request to the site's metrics file,
// and a worker's own figures (its start, its requests, its caches).
// Nothing on a site without METRICS; a file that cannot be had costs
// nothing but its figures.
void watch_add(Worker& worker, const Watched& watched);

// A worker has started: its start is added to the metrics of the site it
// serves, when the configuration reads and names METRICS (else at its
// first request that finds them).
void watch_workerstart(Worker& worker);

// What a worker takes back from the metrics when it ends: its share of the
// caches' entries and bytes.
void watch_workerend(Worker& worker);

}  // namespace vorn
