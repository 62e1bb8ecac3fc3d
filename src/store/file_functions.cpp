#include "store/file_functions.hpp"

#include <string>

#include "binding/aggregation.hpp"
#include "binding/binder.hpp"
#include "binding/converters.hpp"

namespace quarnel::store {
namespace {

using binding::bind_arguments;
using binding::convert_aggregation_text;
using binding::convert_n_threads;
using binding::convert_path;
using binding::convert_sequence;
using binding::convert_unsigned;
using binding::FunctionSignature;
using binding::parse_aggregation;

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

// Arguments are bound and converted exactly as they will be once file
// support lands, so their errors are already the final ones.
Error not_yet(const FunctionSignature& signature) {
  return make_error(ErrorKind::not_implemented_error,
                    std::string(signature.name) +
                        "() is not available in this build: fingerprint files are not supported yet");
}

}  // namespace

PyResult<PyRef> save_fingerprints(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(save_signature, args, nargsf, kwnames));
  QUARNEL_TRY(fps, convert_sequence(bound[0], "fps"));
  QUARNEL_TRY(path, convert_path(bound[1]));
  (void)fps;
  (void)path;
  return not_yet(save_signature);
}

PyResult<PyRef> load_fingerprints(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(load_signature, args, nargsf, kwnames));
  QUARNEL_TRY(path, convert_path(bound[0]));
  (void)path;
  return not_yet(load_signature);
}

PyResult<PyRef> bulk_tanimoto_mmap(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(cross_signature, args, nargsf, kwnames));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[2]));
  QUARNEL_TRY(agg, convert_aggregation_text(bound[3]));
  QUARNEL_TRY(db_offset, convert_unsigned(bound[4], "db_offset", 0));
  QUARNEL_TRY(db_limit, convert_unsigned(bound[5], "db_limit", 0));
  QUARNEL_TRY(mode, parse_aggregation(agg));
  QUARNEL_TRY(path1, convert_path(bound[0]));
  QUARNEL_TRY(path2, convert_path(bound[1]));
  (void)n_threads, (void)db_offset, (void)db_limit, (void)mode, (void)path1, (void)path2;
  return not_yet(cross_signature);
}

PyResult<PyRef> bulk_tanimoto_mmap_topk(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(topk_signature, args, nargsf, kwnames));
  QUARNEL_TRY(k, convert_unsigned(bound[2], "k", default_k));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[3]));
  QUARNEL_TRY(db_offset, convert_unsigned(bound[4], "db_offset", 0));
  QUARNEL_TRY(db_limit, convert_unsigned(bound[5], "db_limit", 0));
  QUARNEL_TRY(path1, convert_path(bound[0]));
  QUARNEL_TRY(path2, convert_path(bound[1]));
  (void)k, (void)n_threads, (void)db_offset, (void)db_limit, (void)path1, (void)path2;
  return not_yet(topk_signature);
}

PyResult<PyRef> internal_tanimoto_mmap(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(internal_signature, args, nargsf, kwnames));
  QUARNEL_TRY(n_threads, convert_n_threads(bound[1]));
  QUARNEL_TRY(agg, convert_aggregation_text(bound[2]));
  QUARNEL_TRY(mode, parse_aggregation(agg));
  QUARNEL_TRY(path, convert_path(bound[0]));
  (void)n_threads, (void)mode, (void)path;
  return not_yet(internal_signature);
}

}  // namespace quarnel::store
