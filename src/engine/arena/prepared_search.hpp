#pragma once
// The cross-set searches of a prepared database (prepared_rows.hpp).  A
// search of a few queries over all of a grouped database reads only the
// count groups that can hold an answer, and a threshold search of fewer
// queries than workers splits each query's rows between them; any other
// (many queries, a window of the rows, the aggregates, top-k without
// grouping) scans the rows in their own order with the kept counts, as a
// search of the plain rows would but without counting them.  Either way
// the result is exactly that of the same search of the plain rows, top-k
// ties going to the lower row.

#include <cstdint>

#include "common/result.hpp"
#include "engine/aggregation_mode.hpp"
#include "engine/arena/lane_topk.hpp"
#include "engine/arena/prepared_rows.hpp"
#include "engine/engine_output.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"

namespace quarnel::engine::arena {

// As cross_similarity (cross_search.hpp) over the window's rows, with
// TopKTies::lower_row.
Result<EngineOutput> prepared_cross(const MetricChoice& metric, AggregationMode mode, std::uint64_t k,
                                    const RowView& queries, const PreparedRows& db, DbWindow window,
                                    std::int32_t n_threads);

// As cross_threshold (threshold_search.hpp) over the window's rows.
Result<CsrOutput> prepared_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                     const PreparedRows& db, DbWindow window, std::int32_t n_threads);

}  // namespace quarnel::engine::arena
