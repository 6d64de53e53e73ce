// SPDX-License-Identifier: GPL-3.0-or-later
#include "metrics/timedstore.h"

#include <chrono>
#include <type_traits>
#include <utility>

#include "base/support.h"
#include "store/visits.h"

namespace vorn {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Runs `f`, noting in `into` how long it took as `operation` and the kind
// of a store failure it threw.
template <typename F>
auto _timedstore_run(std::vector<MetricsOperationTime>& into, MetricsOperation operation, F&& f) {
    const SteadyClock::time_point start = SteadyClock::now();
    auto note = [&](std::optional<MetricsStoreError> error) {
        into.push_back(
            {operation, std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() - start), error});
    };
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            note(std::nullopt);
        } else {
            auto result = f();
            note(std::nullopt);
            return result;
        }
    } catch (const ErrorAnswer& e) {
        note(metrics_storeerror(e.message()));
        throw;
    }
}

class TimedVisits : public VisitsStore {
public:
    TimedVisits(std::unique_ptr<VisitsStore> visits, std::vector<MetricsOperationTime>& into)
        : visits_(std::move(visits)), into_(into) {}

    VisitsAnswer admit(const VisitsAsk& ask, std::time_t now) override {
        return _timedstore_run(into_, MetricsOperation::kRules, [&] { return visits_->admit(ask, now); });
    }
    void forget() noexcept override { visits_->forget(); }

private:
    std::unique_ptr<VisitsStore> visits_;
    std::vector<MetricsOperationTime>& into_;
};

class TimedCounter : public Counter {
public:
    TimedCounter(std::unique_ptr<Counter> counter, std::vector<MetricsOperationTime>& into)
        : counter_(std::move(counter)), into_(into) {}

    const std::string& name() const override { return counter_->name(); }
    std::string where() const override { return counter_->where(); }
    bool exists() override { return _timedstore_run(into_, MetricsOperation::kOpen, [&] { return counter_->exists(); }); }
    void require() override { _timedstore_run(into_, MetricsOperation::kOpen, [&] { counter_->require(); }); }
    std::string visit(const std::string& hour) override {
        return _timedstore_run(into_, MetricsOperation::kVisit, [&] { return counter_->visit(hour); });
    }
    std::optional<std::string> get(const std::string& key) override {
        return _timedstore_run(into_, MetricsOperation::kRead, [&] { return counter_->get(key); });
    }
    std::vector<long> daysums(const std::vector<std::string>& days) override {
        return _timedstore_run(into_, MetricsOperation::kRead, [&] { return counter_->daysums(days); });
    }
    std::vector<std::optional<std::string>> snapshot(const std::vector<std::string>& keys) override {
        return _timedstore_run(into_, MetricsOperation::kRead, [&] { return counter_->snapshot(keys); });
    }
    std::unique_ptr<VisitsStore> visits(std::time_t now) override {
        std::unique_ptr<VisitsStore> visits =
            _timedstore_run(into_, MetricsOperation::kRules, [&] { return counter_->visits(now); });
        return std::make_unique<TimedVisits>(std::move(visits), into_);
    }

    // What the operator's tool does, passed on untimed.
    std::vector<DbRecord> records() override { return counter_->records(); }
    void change(const StoreEdit& edit) override { counter_->change(edit); }
    bool create() override { return counter_->create(); }
    void remove() override { counter_->remove(); }
    long long size() override { return counter_->size(); }
    void dump(std::FILE* out) override { counter_->dump(out); }
    void restore(std::FILE* dump, const std::string& dumpname) override { counter_->restore(dump, dumpname); }
    std::vector<Finding> inspect(const std::optional<WebUser>& user, bool repeat_minutes, bool& readable) override {
        return counter_->inspect(user, repeat_minutes, readable);
    }
    Repair repair() override { return counter_->repair(); }

private:
    std::unique_ptr<Counter> counter_;
    std::vector<MetricsOperationTime>& into_;
};

}  // namespace

std::unique_ptr<Counter> timedstore_counter(std::unique_ptr<Counter> counter, std::vector<MetricsOperationTime>& into) {
    return std::make_unique<TimedCounter>(std::move(counter), into);
}

}  // namespace vorn
