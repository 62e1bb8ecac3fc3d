#pragma once
// One set against itself: the condensed upper triangle of pair scores, or a
// per-row mean/max/min over all other rows, in any metric.  For an
// asymmetric metric, row i is the query of pair (i, j) in the triangle, and
// each row is the query of its own aggregate.

#include <cstdint>

#include "common/result.hpp"
#include "engine/aggregation_mode.hpp"
#include "engine/engine_output.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"

namespace quarnel::engine {

// Callers guarantee at least one row.
Result<EngineOutput> internal_similarity(const MetricChoice& metric, AggregationMode mode,
                                         const RowView& rows, std::int32_t n_threads);

}  // namespace quarnel::engine
