// SPDX-License-Identifier: GPL-3.0-or-later
// A counter of the store whose operations are timed for the metrics: each
// one a request makes (finding the counter, a visit, reading counts, the
// rules' remembered visits) is noted with how long it took and, when it
// failed, the kind of its failure. Nothing else changes: every operation
// is the store's own, its answers and failures passed on as they are.
#pragma once

#include <memory>
#include <vector>

#include "metrics/metrics.h"
#include "store/store.h"

namespace vorn {

// `counter`, with each operation a request makes noted in `into`, which
// must outlive it.
std::unique_ptr<Counter> timedstore_counter(std::unique_ptr<Counter> counter, std::vector<MetricsOperationTime>& into);

}  // namespace vorn
