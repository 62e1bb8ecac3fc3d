#include "binding/threshold_functions.hpp"
#include "binding/bit_mismatch.hpp"

#include "binding/binder.hpp"
#include "binding/converters.hpp"
#include "binding/empty_results.hpp"
#include "binding/similarity_calls.hpp"
#include "bridge/extract_fingerprints.hpp"

namespace quarnel::binding {
namespace {

using engine::FingerprintMatrix;

constexpr const char* cross_parameters[] = {"py_fps", "py_fps2", "threshold", "n_threads"};
constexpr FunctionSignature cross_signature{"bulk_tanimoto_parallel_threshold", cross_parameters, 3};

constexpr const char* internal_parameters[] = {"py_fps", "threshold", "n_threads"};
constexpr FunctionSignature internal_signature{"internal_tanimoto_parallel_threshold", internal_parameters,
                                               2};

// These functions score in Tanimoto, as they always have.
constexpr engine::MetricChoice tanimoto{};

}  // namespace

PyResult<PyRef> bulk_tanimoto_parallel_threshold(PyObject* const* args, Py_ssize_t nargsf,
                                                 PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(cross_signature, args, nargsf, kwnames));
  QUARNEL_TRY(query_sequence, convert_sequence(bound[0], "py_fps"));
  QUARNEL_TRY(db_sequence, convert_sequence(bound[1], "py_fps2"));
  QUARNEL_TRY(threshold, convert_threshold(bound[2]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[3]));

  const FingerprintMatrix queries = bridge::extract_fingerprints(query_sequence);
  const FingerprintMatrix db = bridge::extract_fingerprints(db_sequence);
  if (queries.count == 0 || db.count == 0) return empty_csr_result(queries.count);
  if (queries.n_bits != db.n_bits) return bit_mismatch();
  return cross_threshold_scores(tanimoto, threshold, rows_of(queries), rows_of(db), n_threads);
}

PyResult<PyRef> internal_tanimoto_parallel_threshold(PyObject* const* args, Py_ssize_t nargsf,
                                                     PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(internal_signature, args, nargsf, kwnames));
  QUARNEL_TRY(sequence, convert_sequence(bound[0], "py_fps"));
  QUARNEL_TRY(threshold, convert_threshold(bound[1]));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[2]));

  const FingerprintMatrix set = bridge::extract_fingerprints(sequence);
  if (set.count == 0) return empty_csr_result(0);
  return internal_threshold_scores(tanimoto, threshold, rows_of(set), n_threads);
}

}  // namespace quarnel::binding
