#pragma once
// `vector_rows(fps)` of the _scoring namespace: a sequence of RDKit
// ExplicitBitVect objects as the (rows, n_bits) pair the scoring functions
// read in place, so that fingerprints in memory reach the engine without a
// file between.

#include <Python.h>

#include "binding/py_error.hpp"

namespace quarnel::binding {

PyResult<PyRef> vector_rows(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quarnel::binding
