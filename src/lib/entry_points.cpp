#include "lib/entry_points.hpp"

#include <exception>
#include <new>

#include "binding/in_memory_functions.hpp"
#include "binding/released_interpreter_lock.hpp"
#include "binding/signal_check.hpp"
#include "binding/threshold_functions.hpp"
#include "binding/vector_rows.hpp"
#include "bridge/input_error_report.hpp"
#include "engine/pool/around_wait.hpp"
#include "engine/pool/shared_pool_scope.hpp"
#include "engine/pool/stop_check.hpp"
#include "store/file_functions.hpp"
#include "store/picker_file_functions.hpp"
#include "store/prepared_database.hpp"
#include "store/scoring_functions.hpp"
#include "store/threshold_file_functions.hpp"

namespace quarnel::lib {
namespace {

using binding::PyError;
using binding::PyRef;
using binding::PyResult;

using bridge::InputErrorReport;
using Implementation = PyResult<PyRef> (*)(PyObject* const*, Py_ssize_t, PyObject*);

PyResult<PyRef> call_reporting(Implementation implementation, InputErrorReport report, PyObject* const* args,
                               Py_ssize_t nargsf, PyObject* kwnames) {
  bridge::InputErrorScope scope(report);
  PyResult<PyRef> result = implementation(args, nargsf, kwnames);
  if (std::optional<PyError> kept = scope.take_kept_error()) return std::move(*kept);
  return result;
}

// The checked functions, which the package calls, stop on Ctrl-C: what the
// signal handler raised wins over everything else.  They run on the
// process's shared workers, so a call pays for no thread start.  The
// module's own functions run to the end, even inside a checked call's
// signal handler, hold the interpreter lock throughout and build a pool of
// their own each time, as they always have.
PyResult<PyRef> call_stoppable(Implementation implementation, InputErrorReport report, PyObject* const* args,
                               Py_ssize_t nargsf, PyObject* kwnames) {
  if (report != InputErrorReport::keep) {
    engine::pool::StopCheckScope unstoppable;
    engine::pool::AroundWaitScope locked_waits;
    engine::pool::SharedPoolScope own_workers(false);
    return call_reporting(implementation, report, args, nargsf, kwnames);
  }
  engine::pool::SharedPoolScope shared_workers(true);
  binding::SignalCheck signals;
  // Asleep waiting for its workers, the calling thread lets other Python
  // threads run; it takes the lock back to poll for signals.
  auto unlocked = [](FunctionRef<void()> sleep) {
    const binding::ReleasedInterpreterLock released;
    sleep();
  };
  try {
    PyResult<PyRef> result = [&] {
      engine::pool::StopCheckScope stoppable(signals);
      engine::pool::AroundWaitScope unlocked_waits(unlocked);
      return call_reporting(implementation, report, args, nargsf, kwnames);
    }();
    if (std::optional<PyError> raised = signals.take_raised()) return std::move(*raised);
    return result;
  } catch (...) {
    // A worker's failure (bad_alloc) after the stop: the interrupt still wins.
    if (std::optional<PyError> raised = signals.take_raised()) return std::move(*raised);
    throw;
  }
}

// The single exit of every function: the value, or its error raised after
// everything the call owned has been released.  An input error kept by the
// bridge or the writer wins over the result the call went on to make.
template <Implementation implementation, InputErrorReport report>
PyObject* entry_point(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) noexcept {
  try {
    PyResult<PyRef> result = call_stoppable(implementation, report, args, nargsf, kwnames);
    if (result) return std::move(result).value().release();
    std::move(result).error().raise();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    PyError(make_error(ErrorKind::internal_fault, failure.what())).raise();
  }
  return nullptr;
}

template <Implementation implementation, InputErrorReport report>
PyMethodDef method(const char* name, const char* signature_doc) {
  return PyMethodDef{
      name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_point<implementation, report>)),
      METH_FASTCALL | METH_KEYWORDS, signature_doc};
}

// One table per report mode: the module's functions print invalid input,
// those of its _checked namespace raise it.  Each doc is only the signature
// line and "--": the interpreter shows it as __text_signature__ and reports
// __doc__ as None.
template <InputErrorReport report>
PyMethodDef functions[] = {
    method<store::save_fingerprints, report>("save_fingerprints", "save_fingerprints(fps, path)\n--\n\n"),
    method<store::load_fingerprints, report>("load_fingerprints", "load_fingerprints(path)\n--\n\n"),
    method<binding::bulk_tanimoto_parallel, report>(
        "bulk_tanimoto_parallel", "bulk_tanimoto_parallel(py_fps, py_fps2, n_threads=..., agg=None)\n--\n\n"),
    method<binding::bulk_tanimoto_parallel_topk, report>(
        "bulk_tanimoto_parallel_topk",
        "bulk_tanimoto_parallel_topk(py_fps, py_fps2, k=10, n_threads=...)\n--\n\n"),
    method<store::bulk_tanimoto_mmap, report>(
        "bulk_tanimoto_mmap",
        "bulk_tanimoto_mmap(path1, path2, n_threads=..., agg=None, db_offset=0, db_limit=0)\n--\n\n"),
    method<store::bulk_tanimoto_mmap_topk, report>(
        "bulk_tanimoto_mmap_topk",
        "bulk_tanimoto_mmap_topk(path1, path2, k=10, n_threads=..., db_offset=0, db_limit=0)\n--\n\n"),
    method<binding::internal_tanimoto_parallel, report>(
        "internal_tanimoto_parallel", "internal_tanimoto_parallel(py_fps, n_threads=..., agg=None)\n--\n\n"),
    method<store::internal_tanimoto_mmap, report>(
        "internal_tanimoto_mmap", "internal_tanimoto_mmap(path, n_threads=..., agg=None)\n--\n\n"),
    method<binding::bulk_tanimoto_parallel_threshold, report>(
        "bulk_tanimoto_parallel_threshold",
        "bulk_tanimoto_parallel_threshold(py_fps, py_fps2, threshold, n_threads=...)\n--\n\n"),
    method<store::bulk_tanimoto_mmap_threshold, report>(
        "bulk_tanimoto_mmap_threshold",
        "bulk_tanimoto_mmap_threshold(path1, path2, threshold, "
        "n_threads=..., db_offset=0, db_limit=0)\n--\n\n"),
    method<binding::internal_tanimoto_parallel_threshold, report>(
        "internal_tanimoto_parallel_threshold",
        "internal_tanimoto_parallel_threshold(py_fps, threshold, n_threads=...)\n--\n\n"),
    method<store::internal_tanimoto_mmap_threshold, report>(
        "internal_tanimoto_mmap_threshold",
        "internal_tanimoto_mmap_threshold(path, threshold, n_threads=...)\n--\n\n"),
};

// The pickers take files only, so nothing in them prints: they raise.
PyMethodDef pickers[] = {
    method<store::maxmin_pick, InputErrorReport::keep>(
        "maxmin_pick",
        "maxmin_pick(path, n, seed=-1, first_picks=(), references=None, n_threads=..., "
        "progress=None, metric='tanimoto', alpha=1.0, beta=1.0)\n--\n\n"),
    method<store::leader_pick, InputErrorReport::keep>(
        "leader_pick",
        "leader_pick(path, threshold, n=0, first_picks=(), n_threads=..., progress=None, "
        "metric='tanimoto', alpha=1.0, beta=1.0)\n--\n\n"),
};

PyMethodDef scoring[] = {
    method<store::cross, InputErrorReport::keep>(
        "cross",
        "cross(queries, database, metric='tanimoto', alpha=1.0, beta=1.0, agg=None, n_threads=-1, "
        "db_offset=0, db_limit=0)\n--\n\n"),
    method<store::cross_topk, InputErrorReport::keep>(
        "cross_topk",
        "cross_topk(queries, database, k=10, metric='tanimoto', alpha=1.0, beta=1.0, n_threads=-1, "
        "db_offset=0, db_limit=0)\n--\n\n"),
    method<store::cross_threshold, InputErrorReport::keep>(
        "cross_threshold",
        "cross_threshold(queries, database, threshold, metric='tanimoto', alpha=1.0, beta=1.0, "
        "n_threads=-1, db_offset=0, db_limit=0)\n--\n\n"),
    method<store::prepare, InputErrorReport::keep>("prepare",
                                                   "prepare(database, group=True, n_threads=-1)\n--\n\n"),
    method<store::internal, InputErrorReport::keep>(
        "internal", "internal(rows, metric='tanimoto', alpha=1.0, beta=1.0, agg=None, n_threads=-1)\n--\n\n"),
    method<store::internal_threshold, InputErrorReport::keep>(
        "internal_threshold",
        "internal_threshold(rows, threshold, metric='tanimoto', alpha=1.0, beta=1.0, n_threads=-1)\n--\n\n"),
    method<binding::vector_rows, InputErrorReport::keep>("vector_rows", "vector_rows(fps)\n--\n\n"),
};

}  // namespace

std::span<PyMethodDef> picker_function_table() { return pickers; }

std::span<PyMethodDef> scoring_function_table() { return scoring; }

std::span<PyMethodDef> function_table() { return functions<InputErrorReport::print>; }

std::span<PyMethodDef> checked_function_table() { return functions<InputErrorReport::keep>; }

}  // namespace quarnel::lib
