#pragma once
// The scoring functions of the _scoring namespace: every metric, every
// mode, over fingerprint files or uint64 arrays.  Each takes the fast-call
// arguments and returns a new reference or an error the module's entry
// point raises.

#include <Python.h>

#include "binding/py_error.hpp"

namespace quarnel::store {

binding::PyResult<binding::PyRef> cross(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
binding::PyResult<binding::PyRef> cross_topk(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
binding::PyResult<binding::PyRef> cross_threshold(PyObject* const* args, Py_ssize_t nargsf,
                                                  PyObject* kwnames);
binding::PyResult<binding::PyRef> internal(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
binding::PyResult<binding::PyRef> internal_threshold(PyObject* const* args, Py_ssize_t nargsf,
                                                     PyObject* kwnames);

}  // namespace quarnel::store
