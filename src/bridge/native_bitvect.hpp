#pragma once
// Reaching the native ExplicitBitVect inside RDKit's Python wrapper, by the
// converter registry rather than by any Python-level call.

#include <Python.h>

#include <boost/python/converter/from_python.hpp>
#include <boost/python/errors.hpp>

#include "bridge/bitvect_registration.hpp"

#include <DataStructs/ExplicitBitVect.h>

namespace quarnel::bridge {

// The vector wrapped by `object`; otherwise sets Boost.Python's TypeError and
// throws error_already_set.
inline const ExplicitBitVect& native_bitvect(PyObject* object) {
  void* native = boost::python::converter::get_lvalue_from_python(object, bitvect_registration);
  if (native == nullptr) {
    boost::python::converter::throw_no_reference_from_python(object, bitvect_registration);
  }
  return *static_cast<const ExplicitBitVect*>(native);
}

// Sets a Python exception and unwinds to the caller's single handler.
[[noreturn]] inline void fail_with(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  boost::python::throw_error_already_set();
  __builtin_unreachable();
}

}  // namespace quarnel::bridge
