// SPDX-License-Identifier: GPL-3.0-or-later
#include "metrics/metrics.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <string_view>

namespace vorn {

namespace {

constexpr std::array<const char*, 7> kModes = {"counter", "date", "time", "stat", "metrics", "health", "other"};
constexpr std::array<const char*, 6> kFormats = {"gif", "svg", "json", "badge", "shields", "other"};
// Each outcome's label and status.
struct OutcomeName {
    const char* outcome;
    const char* status;
};
constexpr std::array<OutcomeName, 15> kOutcomes = {{
    {"counted", "200"},
    {"head", "200"},
    {"prefetch", "200"},
    {"address", "200"},
    {"agent", "200"},
    {"robot", "200"},
    {"rate", "200"},
    {"repeat", "200"},
    {"peek", "200"},
    {"past", "200"},
    {"shown", "200"},
    {"error", "400"},
    {"error", "404"},
    {"error", "500"},
    {"error", "503"},
}};
constexpr std::array<const char*, 2> kStores = {"gdbm", "redis"};
constexpr std::array<const char*, 4> kOperations = {"open", "visit", "read", "rules"};
constexpr std::array<const char*, 5> kStoreErrors = {"timeout", "refused", "damaged", "busy", "other"};
constexpr std::array<const char*, 4> kCaches = {"config", "bots", "pictures", "counters"};

// The upper bounds of the histograms' buckets, in microseconds and as
// their label; a last bucket (+Inf) takes the rest.
struct Bound {
    std::int64_t us;
    const char* le;
};
constexpr std::array<Bound, 14> kBounds = {{
    {500, "0.0005"},
    {1000, "0.001"},
    {2500, "0.0025"},
    {5000, "0.005"},
    {10000, "0.01"},
    {25000, "0.025"},
    {50000, "0.05"},
    {100000, "0.1"},
    {250000, "0.25"},
    {500000, "0.5"},
    {1000000, "1"},
    {2500000, "2.5"},
    {5000000, "5"},
    {10000000, "10"},
}};
// A histogram's slots: a count per bucket, +Inf last, then the sum in
// microseconds.
constexpr std::size_t kBuckets = kBounds.size() + 1;
constexpr std::size_t kHistogram = kBuckets + 1;

// Where each figure's slots begin.
constexpr std::size_t kRequestsAt = 0;
constexpr std::size_t kDurationAt = kRequestsAt + kModes.size() * kFormats.size() * kOutcomes.size();
constexpr std::size_t kOperationsAt = kDurationAt + kModes.size() * kHistogram;
constexpr std::size_t kStoreErrorsAt = kOperationsAt + kStores.size() * kOperations.size() * kHistogram;
constexpr std::size_t kStartsAt = kStoreErrorsAt + kStores.size() * kStoreErrors.size();
constexpr std::size_t kServedAt = kStartsAt + 1;
constexpr std::size_t kEntriesAt = kServedAt + 1;
constexpr std::size_t kBytesAt = kEntriesAt + kCaches.size();
constexpr std::size_t kHitsAt = kBytesAt + kCaches.size();
constexpr std::size_t kMissesAt = kHitsAt + kCaches.size();
constexpr std::size_t kSlots = kMissesAt + kCaches.size();

// The layout's number: FNV-1a of every label and bound in slot order, so
// that a change of the figures makes a file of another layout.
constexpr std::uint32_t _metrics_hash(std::uint32_t hash, const char* text) {
    for (; *text; ++text) hash = (hash ^ static_cast<unsigned char>(*text)) * 16777619u;
    return (hash ^ '|') * 16777619u;
}
template <std::size_t N>
constexpr std::uint32_t _metrics_hash(std::uint32_t hash, const std::array<const char*, N>& words) {
    for (const char* word : words) hash = _metrics_hash(hash, word);
    return hash;
}
constexpr std::uint32_t _metrics_layoutid() {
    std::uint32_t hash = 2166136261u;
    hash = _metrics_hash(hash, kModes);
    hash = _metrics_hash(hash, kFormats);
    for (const OutcomeName& o : kOutcomes) hash = _metrics_hash(_metrics_hash(hash, o.outcome), o.status);
    hash = _metrics_hash(hash, kStores);
    hash = _metrics_hash(hash, kOperations);
    hash = _metrics_hash(hash, kStoreErrors);
    hash = _metrics_hash(hash, kCaches);
    for (const Bound& b : kBounds) hash = _metrics_hash(hash, b.le);
    return hash;
}
constexpr std::uint32_t kLayoutId = _metrics_layoutid();

template <typename E>
constexpr std::size_t _metrics_index(E e) {
    return static_cast<std::size_t>(e);
}

std::size_t _metrics_requestslot(MetricsMode mode, MetricsFormat format, MetricsOutcome outcome) {
    return kRequestsAt + (_metrics_index(mode) * kFormats.size() + _metrics_index(format)) * kOutcomes.size() +
           _metrics_index(outcome);
}

std::size_t _metrics_operationslot(MetricsStore store, MetricsOperation operation) {
    return kOperationsAt + (_metrics_index(store) * kOperations.size() + _metrics_index(operation)) * kHistogram;
}

// Adds one observation of `took` to the histogram whose slots begin at `at`.
void _metrics_observe(const MetricsFile& file, std::size_t at, std::chrono::microseconds took) {
    const std::int64_t us = took.count() < 0 ? 0 : took.count();
    std::size_t bucket = 0;
    while (bucket < kBounds.size() && us > kBounds[bucket].us) ++bucket;
    file.add(at + bucket, 1);
    file.add(at + kBuckets, static_cast<std::uint64_t>(us));
}

bool _metrics_startswith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool _metrics_contains(std::string_view text, std::initializer_list<std::string_view> parts) {
    for (std::string_view part : parts) {
        if (text.find(part) != std::string_view::npos) return true;
    }
    return false;
}

// The figures of the file, family by family, for both renderings.
struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::vector<MetricsSample> samples;
};

std::string _metrics_unsigned(std::uint64_t value) { return std::to_string(value); }
std::string _metrics_signed(std::uint64_t value) { return std::to_string(static_cast<std::int64_t>(value)); }
std::string _metrics_seconds(std::uint64_t us) {
    char text[48];
    std::snprintf(text, sizeof text, "%" PRIu64 ".%06" PRIu64, us / 1000000, us % 1000000);
    return text;
}

// The samples of the histogram `name` whose slots begin at `at`, with
// `labels`; none when it observed nothing and `always` is false.
void _metrics_histogram(const MetricsFile& file, std::size_t at, const std::string& name,
                        const std::vector<std::pair<std::string, std::string>>& labels, bool always,
                        std::vector<MetricsSample>& out) {
    std::uint64_t counts[kBuckets];
    std::uint64_t total = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) total += (counts[b] = file.get(at + b));
    if (total == 0 && !always) return;
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
        cumulative += counts[b];
        auto with = labels;
        with.emplace_back("le", b < kBounds.size() ? kBounds[b].le : "+Inf");
        out.push_back({name + "_bucket", std::move(with), _metrics_unsigned(cumulative)});
    }
    out.push_back({name + "_sum", labels, _metrics_seconds(file.get(at + kBuckets))});
    out.push_back({name + "_count", labels, _metrics_unsigned(total)});
}

std::vector<Family> _metrics_families(const MetricsFile& file) {
    std::vector<Family> families;

    Family requests{"vorncounter_requests_total", "counter",
                    "Requests answered, by mode, format and outcome (counted, the reason a visit was not, shown, "
                    "or error with the status of a JSON answer).",
                    {}};
    for (std::size_t m = 0; m < kModes.size(); ++m) {
        for (std::size_t f = 0; f < kFormats.size(); ++f) {
            for (std::size_t o = 0; o < kOutcomes.size(); ++o) {
                const std::uint64_t value = file.get(
                    _metrics_requestslot(MetricsMode(m), MetricsFormat(f), MetricsOutcome(o)));
                // The answers a site gives most stand from the start, so
                // that a rate over them has its first sample; the others
                // once they happened.
                const bool usual = m <= _metrics_index(MetricsMode::kStat) &&
                                   f <= _metrics_index(MetricsFormat::kJson) &&
                                   o == _metrics_index(m == 0 ? MetricsOutcome::kCounted : MetricsOutcome::kShown);
                if (value == 0 && !usual) continue;
                requests.samples.push_back({requests.name,
                                            {{"mode", kModes[m]},
                                             {"format", kFormats[f]},
                                             {"outcome", kOutcomes[o].outcome},
                                             {"status", kOutcomes[o].status}},
                                            _metrics_unsigned(value)});
            }
        }
    }
    families.push_back(std::move(requests));

    Family duration{"vorncounter_request_duration_seconds", "histogram",
                    "Time from the request read to the answer written, by mode.", {}};
    for (std::size_t m = 0; m < kModes.size(); ++m) {
        _metrics_histogram(file, kDurationAt + m * kHistogram, duration.name, {{"mode", kModes[m]}},
                           m <= _metrics_index(MetricsMode::kStat), duration.samples);
    }
    families.push_back(std::move(duration));

    Family operations{"vorncounter_store_operation_duration_seconds", "histogram",
                      "Time of the store's operations for requests, by store and operation.", {}};
    for (std::size_t s = 0; s < kStores.size(); ++s) {
        for (std::size_t o = 0; o < kOperations.size(); ++o) {
            _metrics_histogram(file, _metrics_operationslot(MetricsStore(s), MetricsOperation(o)), operations.name,
                               {{"store", kStores[s]}, {"operation", kOperations[o]}}, false, operations.samples);
        }
    }
    families.push_back(std::move(operations));

    Family errors{"vorncounter_store_errors_total", "counter", "Store operations that failed, by store and kind.", {}};
    for (std::size_t s = 0; s < kStores.size(); ++s) {
        for (std::size_t k = 0; k < kStoreErrors.size(); ++k) {
            errors.samples.push_back({errors.name,
                                      {{"store", kStores[s]}, {"kind", kStoreErrors[k]}},
                                      _metrics_unsigned(file.get(kStoreErrorsAt + s * kStoreErrors.size() + k))});
        }
    }
    families.push_back(std::move(errors));

    families.push_back({"vorncounter_worker_starts_total", "counter", "FastCGI workers started.",
                        {{"vorncounter_worker_starts_total", {}, _metrics_unsigned(file.get(kStartsAt))}}});
    families.push_back({"vorncounter_worker_requests_total", "counter", "Requests served by FastCGI workers.",
                        {{"vorncounter_worker_requests_total", {}, _metrics_unsigned(file.get(kServedAt))}}});

    struct CacheFigure {
        const char* name;
        const char* type;
        const char* help;
        std::size_t at;
        bool gauge;
    };
    constexpr CacheFigure kCacheFigures[] = {
        {"vorncounter_cache_entries", "gauge", "Values the running workers keep, by cache.", kEntriesAt, true},
        {"vorncounter_cache_bytes", "gauge", "Bytes the running workers keep, by cache.", kBytesAt, true},
        {"vorncounter_cache_hits_total", "counter", "Uses answered from a worker's cache.", kHitsAt, false},
        {"vorncounter_cache_misses_total", "counter", "Uses of a worker's cache that read the file.", kMissesAt,
         false},
    };
    for (const CacheFigure& figure : kCacheFigures) {
        Family family{figure.name, figure.type, figure.help, {}};
        for (std::size_t c = 0; c < kCaches.size(); ++c) {
            const std::uint64_t value = file.get(figure.at + c);
            family.samples.push_back({figure.name,
                                      {{"cache", kCaches[c]}},
                                      figure.gauge ? _metrics_signed(value) : _metrics_unsigned(value)});
        }
        families.push_back(std::move(family));
    }
    return families;
}

}  // namespace

MetricsLayout metrics_layout() { return {kLayoutId, kSlots}; }

MetricsOutcome metrics_erroroutcome(int status) {
    switch (status) {
        case 400: return MetricsOutcome::kError400;
        case 404: return MetricsOutcome::kError404;
        case 503: return MetricsOutcome::kError503;
        default: return MetricsOutcome::kError500;
    }
}

std::optional<MetricsStoreError> metrics_storeerror(const std::string& message) {
    const std::string_view text = message;
    if (_metrics_startswith(text, "DB open error. Time out.") || _metrics_startswith(text, "Visits file error. Time out.")) {
        return MetricsStoreError::kBusy;
    }
    if (_metrics_startswith(text, "Redis error. ")) {
        const std::string_view cause = text.substr(13);
        if (_metrics_contains(cause, {"timed out", "Timeout", "Resource temporarily unavailable", "No replica confirmed"})) {
            return MetricsStoreError::kTimeout;
        }
        if (_metrics_startswith(cause, "BUSY") || _metrics_startswith(cause, "LOADING") ||
            _metrics_startswith(cause, "TRYAGAIN") || _metrics_startswith(cause, "The counter kept changing")) {
            return MetricsStoreError::kBusy;
        }
        if (_metrics_contains(cause, {"refused", "NOAUTH", "WRONGPASS", "NOPERM", "OOM", "READONLY", "CLUSTERDOWN",
                                      "MASTERDOWN", "No such file", "Permission denied", "Connection reset",
                                      "closed the connection"})) {
            return MetricsStoreError::kRefused;
        }
        return MetricsStoreError::kOther;
    }
    if (_metrics_startswith(text, "DB open error. ")) {
        return _metrics_contains(text, {"Permission denied"}) ? MetricsStoreError::kRefused
                                                              : MetricsStoreError::kDamaged;
    }
    if (_metrics_startswith(text, "DB Error!!") || _metrics_startswith(text, "DB journal error.") ||
        _metrics_startswith(text, "DB recover error.") || _metrics_startswith(text, "Visits file error. Bad salt")) {
        return MetricsStoreError::kDamaged;
    }
    if (_metrics_startswith(text, "DB write error.") || _metrics_startswith(text, "Visits file error.")) {
        return MetricsStoreError::kOther;
    }
    return std::nullopt;
}

void metrics_answer(const MetricsFile& file, const MetricsAnswer& answer) {
    if (!file) return;
    file.add(_metrics_requestslot(answer.mode, answer.format, answer.outcome), 1);
    _metrics_observe(file, kDurationAt + _metrics_index(answer.mode) * kHistogram, answer.took);
    for (const MetricsOperationTime& op : answer.operations) {
        _metrics_observe(file, _metrics_operationslot(answer.store, op.operation), op.took);
        if (op.error) {
            file.add(kStoreErrorsAt + _metrics_index(answer.store) * kStoreErrors.size() + _metrics_index(*op.error), 1);
        }
    }
}

void metrics_workerstart(const MetricsFile& file) { file.add(kStartsAt, 1); }

void metrics_workerrequest(const MetricsFile& file) { file.add(kServedAt, 1); }

void metrics_cache(const MetricsFile& file, MetricsCache cache, MetricsCacheState& added, const MetricsCacheState& now) {
    const std::size_t c = _metrics_index(cache);
    // Differences of unsigned figures wrap to the two's complement of a
    // fall, which the add then takes off.
    file.add(kEntriesAt + c, now.entries - added.entries);
    file.add(kBytesAt + c, now.bytes - added.bytes);
    file.add(kHitsAt + c, now.hits - added.hits);
    file.add(kMissesAt + c, now.misses - added.misses);
    added = now;
}

std::vector<MetricsSample> metrics_samples(const MetricsFile& file) {
    std::vector<MetricsSample> samples;
    for (Family& family : _metrics_families(file)) {
        for (MetricsSample& sample : family.samples) samples.push_back(std::move(sample));
    }
    return samples;
}

std::string metrics_text(const MetricsFile& file) {
    std::string text;
    for (const Family& family : _metrics_families(file)) {
        text += std::string("# HELP ") + family.name + " " + family.help + "\n";
        text += std::string("# TYPE ") + family.name + " " + family.type + "\n";
        for (const MetricsSample& sample : family.samples) {
            text += sample.name;
            if (!sample.labels.empty()) {
                text += '{';
                for (std::size_t i = 0; i < sample.labels.size(); ++i) {
                    if (i) text += ',';
                    // Every label value is one of the words above: nothing
                    // to escape.
                    text += sample.labels[i].first + "=\"" + sample.labels[i].second + "\"";
                }
                text += '}';
            }
            text += ' ' + sample.value + '\n';
        }
    }
    return text;
}

}  // namespace vorn
