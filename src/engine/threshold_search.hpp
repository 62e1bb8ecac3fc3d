#pragma once
// Threshold search: for every row, the rows of the other set (or of the
// same set, itself left out) whose score reaches a threshold, with their
// scores, as rows of different lengths laid end to end.

#include <cstdint>

#include "common/result.hpp"
#include "engine/engine_output.hpp"
#include "engine/kept_counts.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"

namespace quarnel::engine {

// Callers guarantee 0 <= threshold <= 1, at least one query, 1 to 2^32 - 1
// database rows and equal widths.  Row i of the result lists, in increasing
// order, every database row j with score >= threshold, as
// j + db.first_row.  `kept`, where given, holds the database rows' counts,
// which are then not made again.
Result<CsrOutput> cross_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                  const RowView& db, std::int32_t n_threads,
                                  const KeptCounts* kept = nullptr);

// Callers guarantee 0 <= threshold <= 1 and 1 to 2^32 - 1 rows.  Row i
// lists every j != i whose score with row i as the query reaches the
// threshold, in increasing order.
Result<CsrOutput> internal_threshold(const MetricChoice& metric, double threshold, const RowView& rows,
                                     std::int32_t n_threads);

}  // namespace quarnel::engine
