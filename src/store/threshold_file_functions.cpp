#include "store/threshold_file_functions.hpp"

#include "binding/binder.hpp"
#include "binding/bit_mismatch.hpp"
#include "binding/converters.hpp"
#include "binding/empty_results.hpp"
#include "binding/similarity_calls.hpp"
#include "store/clean_words.hpp"
#include "store/map_path.hpp"

namespace quarnel::store {
namespace {

using binding::bind_arguments;
using binding::bit_mismatch;
using binding::convert_n_threads;
using binding::convert_threshold;
using binding::convert_unsigned;
using binding::FunctionSignature;
using binding::PyRef;
using binding::PyResult;

constexpr const char* cross_parameters[] = {"path1",     "path2",     "threshold",
                                            "n_threads", "db_offset", "db_limit"};
constexpr FunctionSignature cross_signature{"bulk_tanimoto_mmap_threshold", cross_parameters, 3};

constexpr const char* internal_parameters[] = {"path", "threshold", "n_threads"};
constexpr FunctionSignature internal_signature{"internal_tanimoto_mmap_threshold", internal_parameters, 2};

// These functions score in Tanimoto, as they always have.
constexpr engine::MetricChoice tanimoto{};

// Indices count from the first row of the database file, not of the window.
PyResult<PyRef> cross_on_views(double threshold, const MappedFingerprintFile& queries,
                               const MappedFingerprintFile& db, std::int32_t n_threads) {
  QUARNEL_TRY(query_words, CleanWords::of(queries));
  QUARNEL_TRY(db_words, CleanWords::of(db));
  return binding::cross_threshold_scores(tanimoto, threshold, query_words.rows(), db_words.rows(), n_threads);
}

}  // namespace

PyResult<PyRef> bulk_tanimoto_mmap_threshold(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(cross_signature, args, nargsf, kwnames));
  QUARNEL_TRY(threshold, convert_threshold(bound[2]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[3]));
  QUARNEL_TRY(db_offset, convert_unsigned(bound[4], "db_offset", 0));
  QUARNEL_TRY(db_limit, convert_unsigned(bound[5], "db_limit", 0));

  QUARNEL_TRY(queries, map_path(bound[0], 0, 0));
  QUARNEL_TRY(db, map_path(bound[1], db_offset, db_limit));
  if (queries.count() == 0 || db.count() == 0) return binding::empty_csr_result(queries.count());
  if (queries.n_bits() != db.n_bits()) return bit_mismatch();
  return cross_on_views(threshold, queries, db, n_threads);
}

PyResult<PyRef> internal_tanimoto_mmap_threshold(PyObject* const* args, Py_ssize_t nargsf,
                                                 PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(internal_signature, args, nargsf, kwnames));
  QUARNEL_TRY(threshold, convert_threshold(bound[1]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[2]));

  QUARNEL_TRY(set, map_path(bound[0], 0, 0));
  if (set.count() == 0) return binding::empty_csr_result(0);
  QUARNEL_TRY(words, CleanWords::of(set));
  return binding::internal_threshold_scores(tanimoto, threshold, words.rows(), n_threads);
}

}  // namespace quarnel::store
