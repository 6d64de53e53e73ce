// SPDX-License-Identifier: GPL-3.0-or-later
#include "vorncounter/watch.h"

#include <cstring>

#include "base/support.h"
#include "counting/address.h"
#include "vorncounter/vc.h"

namespace vorn {

namespace {

constexpr char kTextHeader[] = "Cache-Control: no-cache, no-store, must-revalidate\nContent-type: text/plain\n\n";
constexpr char kUnavailable[] = "Status: 503 Service Unavailable\n";

void _watch_write(RequestChannel& channel, const std::string& bytes) { channel.write(bytes.data(), bytes.size()); }

void _watch_unavailable(RequestChannel& channel, const std::string& cause) {
    _watch_write(channel, std::string(kUnavailable) + kTextHeader + cause + "\n");
}

MetricsCacheState _watch_state(std::size_t entries, std::size_t bytes, std::uint64_t hits, std::uint64_t misses) {
    return {entries, bytes, hits, misses};
}

template <typename T>
MetricsCacheState _watch_state(const FileCache<T>& cache) {
    return _watch_state(cache.entries(), cache.used(), cache.hits(), cache.misses());
}

// Adds the changes of the worker's caches since it last added them.
void _watch_caches(Worker& worker, const MetricsFile& file, bool ending) {
    const MetricsCacheState now[] = {_watch_state(worker.config), _watch_state(worker.bots),
                                     _watch_state(worker.pictures), _watch_state(worker.counters)};
    for (std::size_t c = 0; c < std::size(now); ++c) {
        MetricsCacheState state = now[c];
        // An ending worker keeps nothing any more.
        if (ending) state.entries = state.bytes = 0;
        metrics_cache(file, static_cast<MetricsCache>(c), worker.metrics_added[c], state);
    }
}

}  // namespace

bool watch_allowed(RequestChannel& channel, const CGICONFIG& config) {
    if (config.metrics_addr.empty()) return false;
    const std::vector<AddressPrefix> allowed = rules_readmetricsaddrs(config);
    const std::optional<Address> addr = address_parse(rules_visitor(channel, config).addr);
    return addr && address_matchesany(allowed, *addr);
}

bool watch_metrics(RequestChannel& channel, const CGICONFIG& config, Worker& worker) {
    if (config.metrics.empty()) {
        _watch_unavailable(channel, std::string("METRICS is not set in ") + kConfigFile);
        return false;
    }
    const MetricsFile& file = worker.metrics.use(config.metrics, metrics_layout());
    if (!file) {
        const MetricsOpened read = metricsfile_read(config.metrics, metrics_layout());
        _watch_unavailable(channel, "METRICS file (" + config.metrics + ") cannot be had: " +
                                        metricsfile_describe(read.state) +
                                        (read.error ? std::string(", ") + std::strerror(read.error) : ""));
        return false;
    }
    _watch_write(channel, kMetricsHeader);
    _watch_write(channel, metrics_text(file));
    return true;
}

bool watch_health(RequestChannel& channel, const CGICONFIG& config, Worker& worker) {
    try {
        store_open(config, worker.keeps ? &worker.store : nullptr)->ping();
    } catch (const ErrorAnswer& e) {
        _watch_unavailable(channel, e.message());
        return false;
    }
    _watch_write(channel, std::string(kTextHeader) + "ok\n");
    return true;
}

MetricsFormat watch_format(const std::string& text) {
    if (text == "gif") return MetricsFormat::kGif;
    if (text == "svg") return MetricsFormat::kSvg;
    if (text == "json") return MetricsFormat::kJson;
    if (text == "badge") return MetricsFormat::kBadge;
    if (text == "shields") return MetricsFormat::kShields;
    return MetricsFormat::kOther;
}

MetricsOutcome watch_outcome(const std::optional<Uncounted>& uncounted) {
    if (!uncounted) return MetricsOutcome::kCounted;
    switch (*uncounted) {
        case Uncounted::kHead: return MetricsOutcome::kHead;
        case Uncounted::kPrefetch: return MetricsOutcome::kPrefetch;
        case Uncounted::kAddress: return MetricsOutcome::kAddress;
        case Uncounted::kAgent: return MetricsOutcome::kAgent;
        case Uncounted::kRobot: return MetricsOutcome::kRobot;
        case Uncounted::kRate: return MetricsOutcome::kRate;
        case Uncounted::kRepeat: return MetricsOutcome::kRepeat;
        case Uncounted::kPeek: return MetricsOutcome::kPeek;
        case Uncounted::kPast: return MetricsOutcome::kPast;
    }
    return MetricsOutcome::kCounted;
}

void watch_answered(Watched& watched, MetricsOutcome outcome) {
    watched.answer.outcome = outcome;
    watched.answer.took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                                watched.start);
}

void watch_add(Worker& worker, const Watched& watched) {
    if (watched.metrics.empty()) return;
    const MetricsFile& file = worker.metrics.use(watched.metrics, metrics_layout());
    if (!file) return;
    metrics_answer(file, watched.answer);
    if (!worker.keeps) return;
    if (!worker.metrics_started) {
        metrics_workerstart(file);
        worker.metrics_started = true;
    }
    metrics_workerrequest(file);
    _watch_caches(worker, file, false);
}

void watch_workerstart(Worker& worker) {
    try {
        const CGICONFIG config = config_read(worker.config);
        if (config.metrics.empty()) return;
        if (const MetricsFile& file = worker.metrics.use(config.metrics, metrics_layout())) {
            metrics_workerstart(file);
            worker.metrics_started = true;
        }
    } catch (const ErrorAnswer&) {
        // No configuration yet: the start is added at the first request
        // that reads one.
    }
}

void watch_workerend(Worker& worker) {
    if (!worker.metrics_started) return;
    if (const MetricsFile& file = worker.metrics.current()) _watch_caches(worker, file, true);
}

}  // namespace vorn
