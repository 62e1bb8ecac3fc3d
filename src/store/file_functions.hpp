#pragma once
// The functions over fingerprint files: saving and loading, and the three
// similarity functions that read files in place.

#include <Python.h>

#include "binding/py_error.hpp"

namespace quarnel::store {

using binding::PyRef;
using binding::PyResult;

PyResult<PyRef> save_fingerprints(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyResult<PyRef> load_fingerprints(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyResult<PyRef> bulk_tanimoto_mmap(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyResult<PyRef> bulk_tanimoto_mmap_topk(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyResult<PyRef> internal_tanimoto_mmap(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quarnel::store
