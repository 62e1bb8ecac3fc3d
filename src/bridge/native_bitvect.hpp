#pragma once
// Reaching the native ExplicitBitVect inside RDKit's Python wrapper, by the
// converter registry rather than by any Python-level call.

#include <Python.h>

#include <boost/python/converter/from_python.hpp>
#include <boost/python/errors.hpp>

#include "bridge/bitvect_registration.hpp"
#include "bridge/input_error_report.hpp"

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

// The vector at position `index` of a sequence being read.  An error kept
// for the caller to raise names the position, which a printed one, in
// Boost.Python's words, does not.
inline const ExplicitBitVect& native_bitvect_at(PyObject* object, Py_ssize_t index) {
  void* native = boost::python::converter::get_lvalue_from_python(object, bitvect_registration);
  if (native != nullptr) return *static_cast<const ExplicitBitVect*>(native);
  if (!input_errors_are_kept()) return native_bitvect(object);
  PyErr_Format(PyExc_TypeError, "item %zd is %s, not an ExplicitBitVect", index, Py_TYPE(object)->tp_name);
  boost::python::throw_error_already_set();
  __builtin_unreachable();
}

// A vector whose length differs from that of the sequence's first one.
[[noreturn]] inline void fail_length_mismatch(Py_ssize_t index, unsigned int n_bits,
                                              unsigned int first_n_bits) {
  if (!input_errors_are_kept()) fail_with(PyExc_ValueError, "Inconsistent fingerprint lengths");
  PyErr_Format(PyExc_ValueError, "Inconsistent fingerprint lengths: item %zd has %u bits, item 0 has %u",
               index, n_bits, first_n_bits);
  boost::python::throw_error_already_set();
  __builtin_unreachable();
}

}  // namespace quarnel::bridge
