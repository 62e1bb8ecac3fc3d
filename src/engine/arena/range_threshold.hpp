#pragma once
// Threshold search of a few queries over a prepared database, each query's
// rows split into lanes so that every worker has a share.  A query reads
// either the range of stored rows whose count can reach the threshold (in
// count order; its hits are then renumbered and put back in row order) or,
// where that range is most of the rows, the rows are not grouped or the
// search is of a window, the rows in their own order, pruned block by
// block as the row-order search prunes them.

#include <cstdint>

#include "common/result.hpp"
#include "engine/arena/prepared_rows.hpp"
#include "engine/engine_output.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"

namespace quarnel::engine::arena {

// The share of all pairs of queries and window rows that range_threshold
// reads.
double read_share(const MetricChoice& metric, double threshold, const RowView& queries,
                  const PreparedRows& db, DbWindow window);

// Callers guarantee 0 <= threshold <= 1, at least one query of db's width,
// a window of at least one row and a width of at least one word.  The
// result is that of engine::cross_threshold over the window's rows.
Result<CsrOutput> range_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                  const PreparedRows& db, DbWindow window, std::int32_t n_threads);

}  // namespace quarnel::engine::arena
