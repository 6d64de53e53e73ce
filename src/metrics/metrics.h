// SPDX-License-Identifier: GPL-3.0-or-later
// What the counter tells an operator about itself (METRICS): the figures
// every worker and CGI run of a site adds to one metrics file
// (metrics/metricsfile.h), and their text in Prometheus' exposition format
// (version 0.0.4), which `mode=metrics` answers and `vornctl metrics`
// prints.
//
// The figures, summed over every process of the site since the file was
// made:
//   vorncounter_requests_total{mode,format,outcome,status}
//       requests by mode and format, and by outcome: "counted", the reason
//       a visit was not ("repeat", "robot", ...), "shown" for an answer that
//       counts nothing, or "error" with the status a JSON answer carries;
//   vorncounter_request_duration_seconds{mode}        (histogram)
//       from the request read to the answer written;
//   vorncounter_store_operation_duration_seconds{store,operation} (histogram)
//   vorncounter_store_errors_total{store,kind}
//   vorncounter_worker_starts_total, vorncounter_worker_requests_total
//   vorncounter_cache_entries{cache}, vorncounter_cache_bytes{cache}
//       what the running workers keep (gauges: each worker adds its
//       changes and takes its share back when it ends);
//   vorncounter_cache_hits_total{cache}, vorncounter_cache_misses_total{cache}
// No figure is labelled by counter: their number has no bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "metrics/metricsfile.h"

namespace vorn {

// The labels' values, in the order of their slots.
enum class MetricsMode { kCounter, kDate, kTime, kStat, kMetrics, kHealth, kOther };
enum class MetricsFormat { kGif, kSvg, kJson, kBadge, kShields, kOther };
// An answer that counted a visit, did not (the reasons of counting/rules.h,
// in their order), counts nothing, or failed with a JSON answer's status.
enum class MetricsOutcome {
    kCounted,
    kHead,
    kPrefetch,
    kAddress,
    kAgent,
    kRobot,
    kRate,
    kRepeat,
    kPeek,
    kPast,
    kShown,
    kError400,
    kError404,
    kError500,
    kError503,
};
enum class MetricsStore { kGdbm, kRedis };
// A store's operations as a request uses them: opening the counter (and
// finding it), recording a visit, reading counts, the counting rules'
// remembered visits.
enum class MetricsOperation { kOpen, kVisit, kRead, kRules };
enum class MetricsStoreError { kTimeout, kRefused, kDamaged, kBusy, kOther };
enum class MetricsCache { kConfig, kBots, kPictures, kCounters };

// The layout of the file: the figures and their order.
MetricsLayout metrics_layout();

// The outcome of an error answer's status (400, 404, 500 or 503; any
// other is 500).
MetricsOutcome metrics_erroroutcome(int status);

// The kind of a store failure from its message ("Redis error. ...", "DB
// open error. Time out. ..."), or none for a message that is no store
// failure (a counter not found, a bad parameter).
std::optional<MetricsStoreError> metrics_storeerror(const std::string& message);

// One store operation of a request: how long it took and how it failed.
struct MetricsOperationTime {
    MetricsOperation operation;
    std::chrono::microseconds took;
    std::optional<MetricsStoreError> error;
};

// What one request adds.
struct MetricsAnswer {
    MetricsMode mode = MetricsMode::kOther;
    MetricsFormat format = MetricsFormat::kOther;
    MetricsOutcome outcome = MetricsOutcome::kShown;
    std::chrono::microseconds took{0};
    MetricsStore store = MetricsStore::kGdbm;
    std::vector<MetricsOperationTime> operations;
};

// Adds the figures of `answer` to `file`.
void metrics_answer(const MetricsFile& file, const MetricsAnswer& answer);

// What a worker's cache holds and has done, as the worker last added it.
struct MetricsCacheState {
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0;
    std::uint64_t hits = 0;
    std::uint64_t misses = 0;
};

// Adds the worker's start, or one request it served.
void metrics_workerstart(const MetricsFile& file);
void metrics_workerrequest(const MetricsFile& file);
// Adds the change from `added` to `now` of the worker's cache `cache`, and
// sets `added` to `now`.
void metrics_cache(const MetricsFile& file, MetricsCache cache, MetricsCacheState& added, const MetricsCacheState& now);

// The figures of `file` in Prometheus' text format 0.0.4; all zero when
// `file` is none.
std::string metrics_text(const MetricsFile& file);

// One figure as metrics_text names it, for a JSON answer.
struct MetricsSample {
    std::string name;
    std::vector<std::pair<std::string, std::string>> labels;
    std::string value;
};
std::vector<MetricsSample> metrics_samples(const MetricsFile& file);

}  // namespace vorn
