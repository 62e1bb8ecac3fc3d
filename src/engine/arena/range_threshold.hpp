#pragma once
// Threshold search over rows grouped by count: each query reads only the
// stored rows whose count can reach the threshold (one range of
// positions), and its hits are put back in original row order.

#include <cstdint>

#include "common/result.hpp"
#include "engine/arena/prepared_rows.hpp"
#include "engine/engine_output.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"

namespace quarnel::engine::arena {

// The stored rows a threshold search of `queries` reads, over all queries;
// `db` grouped, of the queries' width.
std::uint64_t candidate_rows(const MetricChoice& metric, double threshold, const RowView& queries,
                             const PreparedRows& db);

// Callers guarantee 0 <= threshold <= 1, at least one query of db's width,
// a grouped `db` of 1 to 2^32 - 1 rows and a width of at least one word.
// The result is that of engine::cross_threshold over db's rows.
Result<CsrOutput> range_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                  const PreparedRows& db, std::int32_t n_threads);

}  // namespace quarnel::engine::arena
