#pragma once
// The engine calls every similarity function ends in, whatever its rows
// come from (Python vectors, a mapped file, a NumPy array): the engine's
// result wrapped as the object the function returns.  Callers have dealt
// with empty sets and unequal bit lengths.

#include <cstdint>

#include "binding/py_error.hpp"
#include "engine/aggregation_mode.hpp"
#include "engine/fingerprint_matrix.hpp"
#include "engine/metric.hpp"
#include "engine/row_view.hpp"
#include "engine/topk_heap.hpp"

namespace quarnel::binding {

// An array, or (indices, scores) for top-k.
PyResult<PyRef> cross_scores(const engine::MetricChoice& metric, engine::AggregationMode mode,
                             std::uint64_t k, const engine::RowView& queries, const engine::RowView& db,
                             std::int32_t n_threads, engine::TopKTies ties = engine::TopKTies::heap_order);

PyResult<PyRef> internal_scores(const engine::MetricChoice& metric, engine::AggregationMode mode,
                                const engine::RowView& rows, std::int32_t n_threads);

// (indptr, indices, scores).
PyResult<PyRef> cross_threshold_scores(const engine::MetricChoice& metric, double threshold,
                                       const engine::RowView& queries, const engine::RowView& db,
                                       std::int32_t n_threads);

PyResult<PyRef> internal_threshold_scores(const engine::MetricChoice& metric, double threshold,
                                          const engine::RowView& rows, std::int32_t n_threads);

inline engine::RowView rows_of(const engine::FingerprintMatrix& matrix) {
  return engine::RowView{matrix.words.data(), matrix.count, matrix.n_words(), 0};
}

}  // namespace quarnel::binding
