#pragma once
// Every query row against every database row: the full matrix, a per-query
// mean/max/min, or the per-query top k, in any metric.

#include <cstdint>

#include "common/result.hpp"
#include "engine/aggregation_mode.hpp"
#include "engine/engine_output.hpp"
#include "engine/kept_counts.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"
#include "engine/topk_heap.hpp"

namespace quarnel::engine {

// Callers guarantee at least one row in each set and equal widths.  `k`
// is read for top-k only, whose indices are database row numbers plus
// db.first_row (modulo 2^32), and `ties` decides which of equal scores at
// the k-th place are kept.  `kept`, where given, holds the database rows'
// counts, which are then not made again.
Result<EngineOutput> cross_similarity(const MetricChoice& metric, AggregationMode mode, std::uint64_t k,
                                      const RowView& queries, const RowView& db, std::int32_t n_threads,
                                      TopKTies ties = TopKTies::heap_order, const KeptCounts* kept = nullptr);

}  // namespace quarnel::engine
