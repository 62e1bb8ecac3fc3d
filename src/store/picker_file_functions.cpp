#include "store/picker_file_functions.hpp"

#include <optional>
#include <string>

#include "binding/array_wrap.hpp"
#include "binding/binder.hpp"
#include "binding/converters.hpp"
#include "binding/metric_argument.hpp"
#include "binding/progress_callback.hpp"
#include "engine/leader_picker.hpp"
#include "engine/maxmin_picker.hpp"
#include "store/clean_words.hpp"
#include "store/map_path.hpp"

namespace quarnel::store {
namespace {

using binding::bind_arguments;
using binding::FunctionSignature;
using binding::PyRef;
using binding::PyResult;

constexpr const char* maxmin_parameters[] = {"path",      "n",        "seed",   "first_picks", "references",
                                             "n_threads", "progress", "metric", "alpha",       "beta"};
constexpr FunctionSignature maxmin_signature{"maxmin_pick", maxmin_parameters, 2};

constexpr const char* leader_parameters[] = {"path",     "threshold", "n",     "first_picks", "n_threads",
                                             "progress", "metric",    "alpha", "beta"};
constexpr FunctionSignature leader_signature{"leader_pick", leader_parameters, 2};

PyResult<PyRef> wrap_picks(OwnedBuffer<std::int64_t> picks) {
  const std::uint64_t length = picks.size();
  return binding::wrap_buffer_as_array(engine::vector_buffer(std::move(picks), length));
}

Error references_mismatch(const MappedFingerprintFile& references, const MappedFingerprintFile& pool) {
  return make_error(ErrorKind::value_error, "the references are " + std::to_string(references.n_bits()) +
                                                "-bit fingerprints and the pool " +
                                                std::to_string(pool.n_bits()) + "-bit ones");
}

// A reference set with rows must be of the pool's bit length; one without
// rows changes nothing, whatever its length.
PyResult<std::optional<MappedFingerprintFile>> map_references(PyObject* path,
                                                              const MappedFingerprintFile& pool) {
  std::optional<MappedFingerprintFile> none;
  if (path == nullptr || path == Py_None) return none;
  QUARNEL_TRY(references, map_path(path, 0, 0));
  if (references.count() == 0) return none;
  if (pool.count() != 0 && references.n_bits() != pool.n_bits()) return references_mismatch(references, pool);
  std::optional<MappedFingerprintFile> some;
  some.emplace(std::move(references));
  return some;
}

PyResult<PyRef> maxmin_on_files(const MappedFingerprintFile& pool, const MappedFingerprintFile* references,
                                const engine::MaxMinRequest& request, binding::ProgressCallback& progress) {
  QUARNEL_TRY(pool_words, CleanWords::of(pool));
  engine::PickSource reference_rows{nullptr, 0};
  std::optional<CleanWords> reference_words;
  if (references != nullptr) {
    QUARNEL_TRY(words, CleanWords::of(*references));
    reference_words.emplace(std::move(words));
    reference_rows = engine::PickSource{reference_words->data(), references->count()};
  }
  const engine::ProgressHook hook(progress);
  auto picks = engine::maxmin_pick(engine::PickSource{pool_words.data(), pool.count()}, reference_rows,
                                   pool.n_words(), request, progress.active() ? &hook : nullptr);
  if (std::optional<binding::PyError> raised = progress.take_raised()) return std::move(*raised);
  if (!picks) return std::move(picks).error();
  return wrap_picks(std::move(picks).value());
}

}  // namespace

PyResult<PyRef> maxmin_pick(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(maxmin_signature, args, nargsf, kwnames));
  QUARNEL_TRY(n, binding::convert_signed(bound[1], "n", 0));
  QUARNEL_TRY(seed, binding::convert_signed(bound[2], "seed", -1));
  QUARNEL_TRY(first_picks, binding::convert_row_list(bound[3], "first_picks"));
  QUARNEL_TRY(n_threads, binding::convert_n_threads(bound[5]));
  QUARNEL_TRY(progress, binding::ProgressCallback::of(bound[6]));
  QUARNEL_TRY(metric, binding::convert_metric(bound[7], bound[8], bound[9]));

  QUARNEL_TRY(pool, map_path(bound[0], 0, 0));
  QUARNEL_TRY(references, map_references(bound[4], pool));
  const engine::MaxMinRequest request{n, seed, first_picks, n_threads, metric};
  return maxmin_on_files(pool, references ? &*references : nullptr, request, progress);
}

PyResult<PyRef> leader_pick(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(leader_signature, args, nargsf, kwnames));
  QUARNEL_TRY(threshold, binding::convert_threshold(bound[1]));
  QUARNEL_TRY(n, binding::convert_signed(bound[2], "n", 0));
  QUARNEL_TRY(first_picks, binding::convert_row_list(bound[3], "first_picks"));
  QUARNEL_TRY(n_threads, binding::convert_n_threads(bound[4]));
  QUARNEL_TRY(progress, binding::ProgressCallback::of(bound[5]));
  QUARNEL_TRY(metric, binding::convert_metric(bound[6], bound[7], bound[8]));

  QUARNEL_TRY(pool, map_path(bound[0], 0, 0));
  QUARNEL_TRY(pool_words, CleanWords::of(pool));
  const engine::LeaderRequest request{threshold, n, first_picks, n_threads, metric};
  const engine::ProgressHook hook(progress);
  auto picks = engine::leader_pick(engine::PickSource{pool_words.data(), pool.count()}, pool.n_words(),
                                   request, progress.active() ? &hook : nullptr);
  if (std::optional<binding::PyError> raised = progress.take_raised()) return std::move(*raised);
  if (!picks) return std::move(picks).error();
  return wrap_picks(std::move(picks).value());
}

}  // namespace quarnel::store
