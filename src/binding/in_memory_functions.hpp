#pragma once
// The three similarity functions over Python sequences of ExplicitBitVect.
// Each takes the fast-call arguments and returns a new reference or an
// error; the module's entry points raise the error.

#include <Python.h>

#include "binding/binder.hpp"
#include "binding/py_error.hpp"

namespace quarnel::binding {

PyResult<PyRef> bulk_tanimoto_parallel(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyResult<PyRef> bulk_tanimoto_parallel_topk(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyResult<PyRef> internal_tanimoto_parallel(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quarnel::binding
