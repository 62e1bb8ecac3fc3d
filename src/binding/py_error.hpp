#pragma once
// An error on its way to Python: either one of the system's own lazy errors
// (a type and a message, made into an exception only when raised) or an
// exception object the interpreter already produced.

#include <Python.h>

#include <variant>

#include "binding/py_ref.hpp"
#include "common/result.hpp"

namespace quarnel::binding {

class PyError {
 public:
  PyError(Error error) : state_(std::move(error)) {}  // NOLINT: implicit by design

  // Takes the interpreter's pending exception; there must be one.
  static PyError fetch();

  // Sets this error as the interpreter's current exception.
  void raise() &&;

  // The argument prefix: a TypeError (exactly, not a subclass) becomes
  // "argument '{parameter}': {message}" keeping its cause; others pass.
  PyError with_argument_prefix(const char* parameter) &&;

 private:
  explicit PyError(PyRef exception) : state_(std::move(exception)) {}
  std::variant<Error, PyRef> state_;
};

template <class T>
using PyResult = Result<T, PyError>;

// The exception type of internal faults: it derives from BaseException only,
// so that `except Exception` in user code does not swallow a module bug.
PyObject* internal_fault_type();

}  // namespace quarnel::binding
