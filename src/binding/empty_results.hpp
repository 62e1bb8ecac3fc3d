#pragma once
// Results for calls with an empty set, built without the engine.

#include <cstdint>

#include "binding/py_error.hpp"
#include "engine/aggregation_mode.hpp"

namespace quarnel::binding {

// `full`: an (n_queries, n_db) matrix with no elements; the aggregates:
// n_queries zeros.
PyResult<PyRef> empty_cross_result(engine::AggregationMode mode, std::uint64_t n_queries, std::uint64_t n_db);

// (indices, scores), both of shape (n_queries, 0).
PyResult<PyRef> empty_topk_result(std::uint64_t n_queries);

// A 1-D float64 array of length 0.
PyResult<PyRef> empty_vector_result();

// A threshold search with nothing to compare: (indptr of n_rows + 1 zeros,
// no indices, no scores).
PyResult<PyRef> empty_csr_result(std::uint64_t n_rows);

}  // namespace quarnel::binding
