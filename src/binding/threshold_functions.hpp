#pragma once
// The threshold searches over Python sequences of ExplicitBitVect.  Each
// takes the fast-call arguments and returns a new reference, the tuple
// (indptr, indices, scores), or an error the module's entry point raises.

#include <Python.h>

#include "binding/py_error.hpp"

namespace quarnel::binding {

PyResult<PyRef> bulk_tanimoto_parallel_threshold(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyResult<PyRef> internal_tanimoto_parallel_threshold(PyObject* const* args, Py_ssize_t nargsf,
                                                     PyObject* kwnames);

}  // namespace quarnel::binding
