#pragma once
// Top-k over rows grouped by count, reading them best possible score first
// (group_walk.hpp) and stopping once no row left can enter.  Rows decide
// ties (TopKTies::lower_row), so the result is that of a scan in row
// order, whatever order the rows are read in.

#include <cstdint>

#include "common/result.hpp"
#include "engine/arena/prepared_rows.hpp"
#include "engine/engine_output.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"

namespace quarnel::engine::arena {

// Callers guarantee at least one query of db's width, 1 <= k, a grouped
// `db` of at least one row and a width of at least one word.  Indices are
// original row numbers.
Result<EngineOutput> walk_topk(const MetricChoice& metric, std::uint64_t k, const RowView& queries,
                               const PreparedRows& db, std::int32_t n_threads);

}  // namespace quarnel::engine::arena
