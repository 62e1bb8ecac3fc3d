#pragma once
// The `progress` argument of the pickers: an optional Python callable that
// the engine's progress hook calls with the count so far.  Calls are spaced
// by report_interval (the last always comes) so the cost stays invisible;
// an exception the callable raises is kept here, stops the call, and is
// what the call raises.

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "binding/py_error.hpp"

namespace quarnel::binding {

inline constexpr std::chrono::milliseconds report_interval{100};

class ProgressCallback {
 public:
  // None or absent: no callable, and active() is false.
  static PyResult<ProgressCallback> of(PyObject* callable);

  bool active() const noexcept { return callable_ != nullptr; }

  // The engine's hook; runs on the calling thread, which holds the
  // interpreter lock.  False once the callable has raised.
  bool operator()(std::uint64_t done, bool last) noexcept;

  std::optional<PyError> take_raised() noexcept;

 private:
  explicit ProgressCallback(PyObject* callable) : callable_(callable) {}
  PyObject* callable_;  // borrowed: the call's argument outlives the call
  std::optional<std::chrono::steady_clock::time_point> reported_;
  std::optional<PyError> raised_;
};

}  // namespace quarnel::binding
