#pragma once
// The interpreter lock let go for a stretch of plain C++ work, so that other
// Python threads run meanwhile.  The checked functions let go of it while
// they sleep waiting for their workers and take it back to poll for signals,
// report progress and build their results; nothing done without it may
// touch a Python object.

#include <Python.h>

namespace quarnel::binding {

class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() noexcept : saved_(PyEval_SaveThread()) {}
  // Takes the lock back; never returns once the interpreter is shutting
  // down (see the definition).
  ~ReleasedInterpreterLock();
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace quarnel::binding
