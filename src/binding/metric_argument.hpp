#pragma once
// The metric arguments of the scoring functions: a name and the two
// Tversky weights.

#include <Python.h>

#include "binding/py_error.hpp"
#include "engine/metric.hpp"

namespace quarnel::binding {

// "tanimoto" (also when absent), "dice", "cosine" or "tversky", in any
// case; alpha and beta (1.0 when absent) finite and at least 0 whatever
// the metric, though only Tversky reads them.
PyResult<engine::MetricChoice> convert_metric(PyObject* name, PyObject* alpha, PyObject* beta);

}  // namespace quarnel::binding
