#include "binding/in_memory_functions.hpp"
#include "binding/bit_mismatch.hpp"

#include "binding/aggregation.hpp"
#include "binding/converters.hpp"
#include "binding/empty_results.hpp"
#include "binding/similarity_calls.hpp"
#include "bridge/extract_fingerprints.hpp"
#include "engine/call_footprint.hpp"

namespace quarnel::binding {
namespace {

using engine::AggregationMode;
using engine::FingerprintMatrix;

constexpr const char* cross_parameters[] = {"py_fps", "py_fps2", "n_threads", "agg"};
constexpr FunctionSignature cross_signature{"bulk_tanimoto_parallel", cross_parameters, 2};

constexpr const char* topk_parameters[] = {"py_fps", "py_fps2", "k", "n_threads"};
constexpr FunctionSignature topk_signature{"bulk_tanimoto_parallel_topk", topk_parameters, 2};

constexpr const char* internal_parameters[] = {"py_fps", "n_threads", "agg"};
constexpr FunctionSignature internal_signature{"internal_tanimoto_parallel", internal_parameters, 1};

constexpr std::uint64_t default_k = 10;

// A list or a tuple knows its length, so a result that could never fit is
// refused before any vector is read; 0 for other sequences, whose length is
// known only once they are read (the engine checks those).
std::uint64_t known_length(PyObject* sequence) {
  return PyList_Check(sequence) || PyTuple_Check(sequence) ? static_cast<std::uint64_t>(Py_SIZE(sequence))
                                                           : 0;
}

// The least the call could need: one worker, and no count table (the width
// is not known yet).
Result<Ok> refuse_unfit_cross(AggregationMode mode, std::uint64_t k, PyObject* queries, PyObject* db) {
  return engine::refuse_unfit_call(engine::cross_call_bytes(static_cast<std::uint64_t>(mode), k, 0,
                                                            known_length(queries), known_length(db), 1));
}

// These functions score in Tanimoto, as they always have.
constexpr engine::MetricChoice tanimoto{};

}  // namespace

PyResult<PyRef> bulk_tanimoto_parallel(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(cross_signature, args, nargsf, kwnames));
  QUARNEL_TRY(query_sequence, convert_sequence(bound[0], "py_fps"));
  QUARNEL_TRY(db_sequence, convert_sequence(bound[1], "py_fps2"));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[2]));
  QUARNEL_TRY(agg, convert_aggregation_text(bound[3]));
  QUARNEL_TRY(mode, parse_aggregation(agg));
  QUARNEL_CHECK(refuse_unfit_cross(mode, 0, query_sequence, db_sequence));

  const FingerprintMatrix queries = bridge::extract_fingerprints(query_sequence);
  const FingerprintMatrix db = bridge::extract_fingerprints(db_sequence);
  if (queries.count == 0 || db.count == 0) return empty_cross_result(mode, queries.count, db.count);
  if (queries.n_bits != db.n_bits) return bit_mismatch();
  return cross_scores(tanimoto, mode, 0, rows_of(queries), rows_of(db), n_threads);
}

PyResult<PyRef> bulk_tanimoto_parallel_topk(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(topk_signature, args, nargsf, kwnames));
  QUARNEL_TRY(query_sequence, convert_sequence(bound[0], "py_fps"));
  QUARNEL_TRY(db_sequence, convert_sequence(bound[1], "py_fps2"));
  QUARNEL_TRY(k, convert_unsigned(bound[2], "k", default_k));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[3]));
  QUARNEL_CHECK(refuse_unfit_cross(AggregationMode::topk, k, query_sequence, db_sequence));

  const FingerprintMatrix queries = bridge::extract_fingerprints(query_sequence);
  const FingerprintMatrix db = bridge::extract_fingerprints(db_sequence);
  if (queries.count == 0 || db.count == 0) return empty_topk_result(queries.count);
  if (queries.n_bits != db.n_bits) return bit_mismatch();
  return cross_scores(tanimoto, AggregationMode::topk, k, rows_of(queries), rows_of(db), n_threads);
}

PyResult<PyRef> internal_tanimoto_parallel(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(internal_signature, args, nargsf, kwnames));
  QUARNEL_TRY(sequence, convert_sequence(bound[0], "py_fps"));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[1]));
  QUARNEL_TRY(agg, convert_aggregation_text(bound[2]));
  QUARNEL_TRY(mode, parse_aggregation(agg));
  QUARNEL_CHECK(engine::refuse_unfit_call(
      engine::internal_call_bytes(static_cast<std::uint64_t>(mode), 0, known_length(sequence))));

  const FingerprintMatrix set = bridge::extract_fingerprints(sequence);
  if (set.count == 0) return empty_vector_result();
  return internal_scores(tanimoto, mode, rows_of(set), n_threads);
}

}  // namespace quarnel::binding
