#include "binding/progress_callback.hpp"

#include <string>
#include <utility>

#include "binding/py_ref.hpp"

namespace quarnel::binding {

PyResult<ProgressCallback> ProgressCallback::of(PyObject* callable) {
  if (callable == nullptr || callable == Py_None) return ProgressCallback(nullptr);
  if (PyCallable_Check(callable) == 0) {
    return PyError(make_error(
        ErrorKind::type_error,
        std::string("argument 'progress': '") + Py_TYPE(callable)->tp_name + "' object is not callable"));
  }
  return ProgressCallback(callable);
}

bool ProgressCallback::operator()(std::uint64_t done, bool last) noexcept {
  if (raised_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (!last && reported_ && now - *reported_ < report_interval) return true;
  reported_ = now;
  const PyRef count = PyRef::steal(PyLong_FromUnsignedLongLong(done));
  if (!count) {
    raised_.emplace(PyError::fetch());
    return false;
  }
  const PyRef answer = PyRef::steal(PyObject_CallOneArg(callable_, count.get()));
  if (!answer) {
    raised_.emplace(PyError::fetch());
    return false;
  }
  return true;
}

std::optional<PyError> ProgressCallback::take_raised() noexcept {
  return std::exchange(raised_, std::nullopt);
}

}  // namespace quarnel::binding
