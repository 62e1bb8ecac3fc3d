#include "store/prepared_scoring.hpp"

#include <algorithm>

#include "binding/array_wrap.hpp"
#include "binding/bit_mismatch.hpp"
#include "binding/empty_results.hpp"
#include "engine/arena/prepared_search.hpp"
#include "store/row_source.hpp"

namespace quarnel::store {
namespace {

using binding::PyRef;
using binding::PyResult;
using engine::AggregationMode;
using engine::arena::DbWindow;

// As a mapped file's window: from row min(db_offset, N), at most db_limit
// rows unless db_limit is 0.
DbWindow window_of(const PreparedDatabase& db, std::uint64_t db_offset, std::uint64_t db_limit) {
  const std::uint64_t n_rows = db.rows().rows.n_rows;
  const std::uint64_t first = std::min(db_offset, n_rows);
  std::uint64_t n = n_rows - first;
  if (db_limit != 0) n = std::min(n, db_limit);
  return DbWindow{first, n};
}

}  // namespace

PyResult<PyRef> prepared_cross_scores(const PreparedDatabase& db, PyObject* queries,
                                      const engine::MetricChoice& metric, AggregationMode mode,
                                      std::uint64_t k, std::int32_t n_threads, std::uint64_t db_offset,
                                      std::uint64_t db_limit) {
  QUARNEL_TRY(query_source, RowSource::open(queries, "queries", 0, 0));
  const DbWindow window = window_of(db, db_offset, db_limit);
  if (query_source.count() == 0 || window.n_rows == 0) {
    if (mode == AggregationMode::topk) return binding::empty_topk_result(query_source.count());
    return binding::empty_cross_result(mode, query_source.count(), window.n_rows);
  }
  if (query_source.n_bits() != db.n_bits()) return binding::bit_mismatch();
  QUARNEL_TRY(clean, query_source.clean_rows());
  QUARNEL_TRY(output,
              engine::arena::prepared_cross(metric, mode, k, clean.rows(), db.rows(), window, n_threads));
  return binding::wrap_engine_output(std::move(output));
}

PyResult<PyRef> prepared_threshold_scores(const PreparedDatabase& db, PyObject* queries,
                                          const engine::MetricChoice& metric, double threshold,
                                          std::int32_t n_threads, std::uint64_t db_offset,
                                          std::uint64_t db_limit) {
  QUARNEL_TRY(query_source, RowSource::open(queries, "queries", 0, 0));
  const DbWindow window = window_of(db, db_offset, db_limit);
  if (query_source.count() == 0 || window.n_rows == 0) return binding::empty_csr_result(query_source.count());
  if (query_source.n_bits() != db.n_bits()) return binding::bit_mismatch();
  QUARNEL_TRY(clean, query_source.clean_rows());
  QUARNEL_TRY(output, engine::arena::prepared_threshold(metric, threshold, clean.rows(), db.rows(), window,
                                                        n_threads));
  return binding::wrap_csr_output(std::move(output));
}

}  // namespace quarnel::store
