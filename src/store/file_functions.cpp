#include "store/file_functions.hpp"

#include <string>

#include "binding/aggregation.hpp"
#include "binding/binder.hpp"
#include "binding/bit_mismatch.hpp"
#include "binding/converters.hpp"
#include "binding/empty_results.hpp"
#include "binding/similarity_calls.hpp"
#include "store/clean_words.hpp"
#include "store/fingerprint_reader.hpp"
#include "store/fingerprint_writer.hpp"
#include "store/map_path.hpp"
#include "store/mapped_fingerprint_file.hpp"

namespace quarnel::store {
namespace {

using binding::bind_arguments;
using binding::bit_mismatch;
using binding::convert_aggregation_text;
using binding::convert_n_threads;
using binding::convert_path;
using binding::convert_sequence;
using binding::convert_unsigned;
using binding::FunctionSignature;
using binding::parse_aggregation;
using binding::PyError;
using engine::AggregationMode;

constexpr const char* save_parameters[] = {"fps", "path"};
constexpr FunctionSignature save_signature{"save_fingerprints", save_parameters, 2};

constexpr const char* load_parameters[] = {"path"};
constexpr FunctionSignature load_signature{"load_fingerprints", load_parameters, 1};

constexpr const char* cross_parameters[] = {"path1", "path2", "n_threads", "agg", "db_offset", "db_limit"};
constexpr FunctionSignature cross_signature{"bulk_tanimoto_mmap", cross_parameters, 2};

constexpr const char* topk_parameters[] = {"path1", "path2", "k", "n_threads", "db_offset", "db_limit"};
constexpr FunctionSignature topk_signature{"bulk_tanimoto_mmap_topk", topk_parameters, 2};

constexpr const char* internal_parameters[] = {"path", "n_threads", "agg"};
constexpr FunctionSignature internal_signature{"internal_tanimoto_mmap", internal_parameters, 1};

constexpr std::uint64_t default_k = 10;

// These functions score in Tanimoto, as they always have.
constexpr engine::MetricChoice tanimoto{};

// Top-k indices count from the first row of the database file, not of the
// window.
PyResult<PyRef> cross_on_views(AggregationMode mode, std::uint64_t k, const MappedFingerprintFile& queries,
                               const MappedFingerprintFile& db, std::int32_t n_threads) {
  QUARNEL_TRY(query_words, CleanWords::of(queries));
  QUARNEL_TRY(db_words, CleanWords::of(db));
  return binding::cross_scores(tanimoto, mode, k, query_words.rows(), db_words.rows(), n_threads);
}

}  // namespace

PyResult<PyRef> save_fingerprints(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(save_signature, args, nargsf, kwnames));
  QUARNEL_TRY(fps, convert_sequence(bound[0], "fps"));
  QUARNEL_TRY(path, convert_path(bound[1]));
  write_fingerprint_file(fps, path);
  return PyRef::borrow(Py_None);
}

PyResult<PyRef> load_fingerprints(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(load_signature, args, nargsf, kwnames));
  QUARNEL_TRY(path, convert_path(bound[0]));
  return read_fingerprint_file(path);
}

PyResult<PyRef> bulk_tanimoto_mmap(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(cross_signature, args, nargsf, kwnames));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[2]));
  QUARNEL_TRY(agg, convert_aggregation_text(bound[3]));
  QUARNEL_TRY(db_offset, convert_unsigned(bound[4], "db_offset", 0));
  QUARNEL_TRY(db_limit, convert_unsigned(bound[5], "db_limit", 0));
  QUARNEL_TRY(mode, parse_aggregation(agg));

  QUARNEL_TRY(queries, map_path(bound[0], 0, 0));
  QUARNEL_TRY(db, map_path(bound[1], db_offset, db_limit));
  if (queries.count() == 0 || db.count() == 0)
    return binding::empty_cross_result(mode, queries.count(), db.count());
  if (queries.n_bits() != db.n_bits()) return bit_mismatch();
  return cross_on_views(mode, 0, queries, db, n_threads);
}

PyResult<PyRef> bulk_tanimoto_mmap_topk(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(topk_signature, args, nargsf, kwnames));
  QUARNEL_TRY(k, convert_unsigned(bound[2], "k", default_k));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[3]));
  QUARNEL_TRY(db_offset, convert_unsigned(bound[4], "db_offset", 0));
  QUARNEL_TRY(db_limit, convert_unsigned(bound[5], "db_limit", 0));

  QUARNEL_TRY(queries, map_path(bound[0], 0, 0));
  QUARNEL_TRY(db, map_path(bound[1], db_offset, db_limit));
  if (queries.count() == 0 || db.count() == 0) return binding::empty_topk_result(queries.count());
  if (queries.n_bits() != db.n_bits()) return bit_mismatch();
  return cross_on_views(AggregationMode::topk, k, queries, db, n_threads);
}

PyResult<PyRef> internal_tanimoto_mmap(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(internal_signature, args, nargsf, kwnames));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[1]));
  QUARNEL_TRY(agg, convert_aggregation_text(bound[2]));
  QUARNEL_TRY(mode, parse_aggregation(agg));

  QUARNEL_TRY(set, map_path(bound[0], 0, 0));
  if (set.count() == 0) return binding::empty_vector_result();
  QUARNEL_TRY(words, CleanWords::of(set));
  return binding::internal_scores(tanimoto, mode, words.rows(), n_threads);
}

}  // namespace quarnel::store
