#pragma once
// The diversity pickers over fingerprint files, read in place.  Each
// returns the picked rows, in pick order, as an int64 array, or an error
// the module's entry point raises.

#include <Python.h>

#include "binding/py_error.hpp"

namespace quarnel::store {

// maxmin_pick(path, n, seed=-1, first_picks=(), references=None, n_threads=-1, progress=None,
//             metric='tanimoto', alpha=1.0, beta=1.0)
binding::PyResult<binding::PyRef> maxmin_pick(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// leader_pick(path, threshold, n=0, first_picks=(), n_threads=-1, progress=None, metric='tanimoto',
//             alpha=1.0, beta=1.0)
binding::PyResult<binding::PyRef> leader_pick(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quarnel::store
