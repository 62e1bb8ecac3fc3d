#include "binding/similarity_calls.hpp"

#include "binding/array_wrap.hpp"
#include "engine/cross_search.hpp"
#include "engine/internal_search.hpp"
#include "engine/threshold_search.hpp"

namespace quarnel::binding {

PyResult<PyRef> cross_scores(const engine::MetricChoice& metric, engine::AggregationMode mode,
                             std::uint64_t k, const engine::RowView& queries, const engine::RowView& db,
                             std::int32_t n_threads, engine::TopKTies ties) {
  QUARNEL_TRY(output, engine::cross_similarity(metric, mode, k, queries, db, n_threads, ties));
  return wrap_engine_output(std::move(output));
}

PyResult<PyRef> internal_scores(const engine::MetricChoice& metric, engine::AggregationMode mode,
                                const engine::RowView& rows, std::int32_t n_threads) {
  QUARNEL_TRY(output, engine::internal_similarity(metric, mode, rows, n_threads));
  return wrap_engine_output(std::move(output));
}

PyResult<PyRef> cross_threshold_scores(const engine::MetricChoice& metric, double threshold,
                                       const engine::RowView& queries, const engine::RowView& db,
                                       std::int32_t n_threads) {
  QUARNEL_TRY(output, engine::cross_threshold(metric, threshold, queries, db, n_threads));
  return wrap_csr_output(std::move(output));
}

PyResult<PyRef> internal_threshold_scores(const engine::MetricChoice& metric, double threshold,
                                          const engine::RowView& rows, std::int32_t n_threads) {
  QUARNEL_TRY(output, engine::internal_threshold(metric, threshold, rows, n_threads));
  return wrap_csr_output(std::move(output));
}

}  // namespace quarnel::binding
