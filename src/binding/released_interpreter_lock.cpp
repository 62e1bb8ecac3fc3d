#include "binding/released_interpreter_lock.hpp"

#include <unistd.h>

#include <cxxabi.h>

namespace quarnel::binding {

// Once the interpreter is finalizing, CPython before 3.14 ends any other
// thread that asks for the lock with pthread_exit, which glibc carries out
// by unwinding the stack.  Here that unwinding would terminate the process
// at the first noexcept frame, and would free a frame the workers may still
// read.  Such a thread (a daemon thread still in a call when the program
// ends) waits here for the process to exit instead, as 3.14 makes it do.
ReleasedInterpreterLock::~ReleasedInterpreterLock() {
  try {
    PyEval_RestoreThread(saved_);
  } catch (abi::__forced_unwind&) {
    for (;;) pause();
  }
}

}  // namespace quarnel::binding
