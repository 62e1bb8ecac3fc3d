#pragma once
// The cross-set scoring functions with a prepared database: the same
// arguments, checks and results as with the plain source, the window
// db_offset/db_limit meaning a window of the prepared rows.

#include <Python.h>

#include <cstdint>

#include "binding/py_error.hpp"
#include "engine/aggregation_mode.hpp"
#include "engine/metric.hpp"
#include "store/prepared_database.hpp"

namespace quarnel::store {

// An array, or (indices, scores) for top-k.
binding::PyResult<binding::PyRef> prepared_cross_scores(const PreparedDatabase& db, PyObject* queries,
                                                        const engine::MetricChoice& metric,
                                                        engine::AggregationMode mode, std::uint64_t k,
                                                        std::int32_t n_threads, std::uint64_t db_offset,
                                                        std::uint64_t db_limit);

// (indptr, indices, scores).
binding::PyResult<binding::PyRef> prepared_threshold_scores(const PreparedDatabase& db, PyObject* queries,
                                                            const engine::MetricChoice& metric,
                                                            double threshold, std::int32_t n_threads,
                                                            std::uint64_t db_offset, std::uint64_t db_limit);

}  // namespace quarnel::store
