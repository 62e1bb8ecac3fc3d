#include "store/scoring_functions.hpp"

#include "binding/aggregation.hpp"
#include "binding/binder.hpp"
#include "binding/bit_mismatch.hpp"
#include "binding/converters.hpp"
#include "binding/empty_results.hpp"
#include "binding/metric_argument.hpp"
#include "binding/similarity_calls.hpp"
#include "store/prepared_scoring.hpp"
#include "store/row_source.hpp"

namespace quarnel::store {
namespace {

using binding::bind_arguments;
using binding::bit_mismatch;
using binding::convert_aggregation_text;
using binding::convert_metric;
using binding::convert_n_threads;
using binding::convert_threshold;
using binding::convert_unsigned;
using binding::FunctionSignature;
using binding::PyRef;
using binding::PyResult;
using engine::AggregationMode;

constexpr const char* cross_parameters[] = {"queries", "database",  "metric",    "alpha",   "beta",
                                            "agg",     "n_threads", "db_offset", "db_limit"};
constexpr FunctionSignature cross_signature{"cross", cross_parameters, 2};

constexpr const char* topk_parameters[] = {"queries", "database",  "k",         "metric",  "alpha",
                                           "beta",    "n_threads", "db_offset", "db_limit"};
constexpr FunctionSignature topk_signature{"cross_topk", topk_parameters, 2};

constexpr const char* cross_threshold_parameters[] = {"queries", "database",  "threshold", "metric",  "alpha",
                                                      "beta",    "n_threads", "db_offset", "db_limit"};
constexpr FunctionSignature cross_threshold_signature{"cross_threshold", cross_threshold_parameters, 3};

constexpr const char* internal_parameters[] = {"rows", "metric", "alpha", "beta", "agg", "n_threads"};
constexpr FunctionSignature internal_signature{"internal", internal_parameters, 1};

constexpr const char* internal_threshold_parameters[] = {"rows",  "threshold", "metric",
                                                         "alpha", "beta",      "n_threads"};
constexpr FunctionSignature internal_threshold_signature{"internal_threshold", internal_threshold_parameters,
                                                         2};

constexpr std::uint64_t default_k = 10;

// Both sources of a cross-set call, the database windowed.
struct CrossSources {
  RowSource queries;
  RowSource db;

  bool empty() const { return queries.count() == 0 || db.count() == 0; }
  bool mismatched() const { return queries.n_bits() != db.n_bits(); }
};

PyResult<CrossSources> open_cross(PyObject* queries, PyObject* db, std::uint64_t db_offset,
                                  std::uint64_t db_limit) {
  QUARNEL_TRY(query_source, RowSource::open(queries, "queries", 0, 0));
  QUARNEL_TRY(db_source, RowSource::open(db, "database", db_offset, db_limit));
  return CrossSources{std::move(query_source), std::move(db_source)};
}

}  // namespace

PyResult<PyRef> cross(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(cross_signature, args, nargsf, kwnames));
  QUARNEL_TRY(metric, convert_metric(bound[2], bound[3], bound[4]));
  QUARNEL_TRY(agg, convert_aggregation_text(bound[5]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[6]));
  QUARNEL_TRY(db_offset, convert_unsigned(bound[7], "db_offset", 0));
  QUARNEL_TRY(db_limit, convert_unsigned(bound[8], "db_limit", 0));
  QUARNEL_TRY(mode, binding::parse_aggregation(agg));

  if (const PreparedDatabase* prepared = prepared_database_of(bound[1])) {
    return prepared_cross_scores(*prepared, bound[0], metric, mode, 0, n_threads, db_offset, db_limit);
  }
  QUARNEL_TRY(sources, open_cross(bound[0], bound[1], db_offset, db_limit));
  if (sources.empty()) return binding::empty_cross_result(mode, sources.queries.count(), sources.db.count());
  if (sources.mismatched()) return bit_mismatch();
  QUARNEL_TRY(queries, sources.queries.clean_rows());
  QUARNEL_TRY(db, sources.db.clean_rows());
  return binding::cross_scores(metric, mode, 0, queries.rows(), db.rows(), n_threads);
}

PyResult<PyRef> cross_topk(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(topk_signature, args, nargsf, kwnames));
  QUARNEL_TRY(k, convert_unsigned(bound[2], "k", default_k));
  QUARNEL_TRY(metric, convert_metric(bound[3], bound[4], bound[5]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[6]));
  QUARNEL_TRY(db_offset, convert_unsigned(bound[7], "db_offset", 0));
  QUARNEL_TRY(db_limit, convert_unsigned(bound[8], "db_limit", 0));

  if (const PreparedDatabase* prepared = prepared_database_of(bound[1])) {
    return prepared_cross_scores(*prepared, bound[0], metric, AggregationMode::topk, k, n_threads, db_offset,
                                 db_limit);
  }
  QUARNEL_TRY(sources, open_cross(bound[0], bound[1], db_offset, db_limit));
  if (sources.empty()) return binding::empty_topk_result(sources.queries.count());
  if (sources.mismatched()) return bit_mismatch();
  QUARNEL_TRY(queries, sources.queries.clean_rows());
  QUARNEL_TRY(db, sources.db.clean_rows());
  // The package merges windows and shards: rows decide ties, so every
  // layout keeps the same rows.
  return binding::cross_scores(metric, AggregationMode::topk, k, queries.rows(), db.rows(), n_threads,
                               engine::TopKTies::lower_row);
}

PyResult<PyRef> cross_threshold(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(cross_threshold_signature, args, nargsf, kwnames));
  QUARNEL_TRY(threshold, convert_threshold(bound[2]));
  QUARNEL_TRY(metric, convert_metric(bound[3], bound[4], bound[5]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[6]));
  QUARNEL_TRY(db_offset, convert_unsigned(bound[7], "db_offset", 0));
  QUARNEL_TRY(db_limit, convert_unsigned(bound[8], "db_limit", 0));

  if (const PreparedDatabase* prepared = prepared_database_of(bound[1])) {
    return prepared_threshold_scores(*prepared, bound[0], metric, threshold, n_threads, db_offset, db_limit);
  }
  QUARNEL_TRY(sources, open_cross(bound[0], bound[1], db_offset, db_limit));
  if (sources.empty()) return binding::empty_csr_result(sources.queries.count());
  if (sources.mismatched()) return bit_mismatch();
  QUARNEL_TRY(queries, sources.queries.clean_rows());
  QUARNEL_TRY(db, sources.db.clean_rows());
  return binding::cross_threshold_scores(metric, threshold, queries.rows(), db.rows(), n_threads);
}

PyResult<PyRef> internal(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(internal_signature, args, nargsf, kwnames));
  QUARNEL_TRY(metric, convert_metric(bound[1], bound[2], bound[3]));
  QUARNEL_TRY(agg, convert_aggregation_text(bound[4]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[5]));
  QUARNEL_TRY(mode, binding::parse_aggregation(agg));

  QUARNEL_TRY(source, RowSource::open(bound[0], "rows", 0, 0));
  if (source.count() == 0) return binding::empty_vector_result();
  QUARNEL_TRY(rows, source.clean_rows());
  return binding::internal_scores(metric, mode, rows.rows(), n_threads);
}

PyResult<PyRef> internal_threshold(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(internal_threshold_signature, args, nargsf, kwnames));
  QUARNEL_TRY(threshold, convert_threshold(bound[1]));
  QUARNEL_TRY(metric, convert_metric(bound[2], bound[3], bound[4]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[5]));

  QUARNEL_TRY(source, RowSource::open(bound[0], "rows", 0, 0));
  if (source.count() == 0) return binding::empty_csr_result(0);
  QUARNEL_TRY(rows, source.clean_rows());
  return binding::internal_threshold_scores(metric, threshold, rows.rows(), n_threads);
}

}  // namespace quarnel::store
