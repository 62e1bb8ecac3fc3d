#pragma once
// The threshold searches over fingerprint files, read in place.  Each
// returns the tuple (indptr, indices, scores) or an error the module's
// entry point raises.

#include <Python.h>

#include "binding/py_error.hpp"

namespace quarnel::store {

binding::PyResult<binding::PyRef> bulk_tanimoto_mmap_threshold(PyObject* const* args, Py_ssize_t nargsf,
                                                               PyObject* kwnames);
binding::PyResult<binding::PyRef> internal_tanimoto_mmap_threshold(PyObject* const* args, Py_ssize_t nargsf,
                                                                   PyObject* kwnames);

}  // namespace quarnel::store
