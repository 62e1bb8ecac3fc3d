#pragma once
// Top-k of a few queries over a prepared database, each query's search
// split into lanes (lanes.hpp) with a heap each, merged by the same tie
// rule.  Over all of a grouped database a query walks the count groups
// best possible score first (group_walk.hpp) and stops once no row left
// can enter; otherwise each lane reads a slice of the rows in their own
// order.  Rows decide ties (TopKTies::lower_row), so the result is that of
// a scan in row order, whatever order the rows are read in.

#include <cstdint>

#include "common/result.hpp"
#include "engine/arena/prepared_rows.hpp"
#include "engine/engine_output.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"

namespace quarnel::engine::arena {

// Callers guarantee at least one query of db's width, 1 <= k, a window of
// at least one row and a width of at least one word.  Indices are row
// numbers of the database.
Result<EngineOutput> lane_topk(const MetricChoice& metric, std::uint64_t k, const RowView& queries,
                               const PreparedRows& db, DbWindow window, std::int32_t n_threads);

}  // namespace quarnel::engine::arena
