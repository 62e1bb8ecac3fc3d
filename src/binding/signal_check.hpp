#pragma once
// The stop check of the checked functions: while a call waits for its
// workers, the calling thread (which holds the interpreter lock) runs
// Python's signal handlers, and a handler that raises (KeyboardInterrupt,
// for Ctrl-C) stops the call.  Its exception is kept here, not left pending,
// so that nothing the call releases on its way out runs with it set; the
// entry point raises it.

#include <Python.h>

#include <optional>
#include <utility>

#include "binding/py_error.hpp"

namespace quarnel::binding {

class SignalCheck {
 public:
  // True once a handler has raised.
  bool operator()() noexcept {
    if (PyErr_CheckSignals() == 0) return false;
    raised_.emplace(PyError::fetch());
    return true;
  }

  std::optional<PyError> take_raised() noexcept { return std::exchange(raised_, std::nullopt); }

 private:
  std::optional<PyError> raised_;
};

}  // namespace quarnel::binding
