#pragma once
// Conversion of bound arguments to C++ values.  Each converter takes the
// bound object (null when the argument was not given) and applies the
// argument prefix to its TypeErrors where the parameter has one.

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/py_error.hpp"

namespace quarnel::binding {

// The qualified name of an object's type, for messages.
std::string type_name_of(PyObject* object);

// A list, a tuple (or a subclass of either) or a collections.abc.Sequence;
// returns the object itself, borrowed.
PyResult<PyObject*> convert_sequence(PyObject* value, const char* parameter);

// Signed 32-bit; -1 when absent.
PyResult<std::int32_t> convert_n_threads(PyObject* value);

// Unsigned 64-bit through the index protocol; `fallback` when absent.
PyResult<std::uint64_t> convert_unsigned(PyObject* value, const char* parameter, std::uint64_t fallback);

// Signed 64-bit through the index protocol; `fallback` when absent.
PyResult<std::int64_t> convert_signed(PyObject* value, const char* parameter, std::int64_t fallback);

// Row numbers: any iterable of integers (a NumPy integer array included);
// empty when absent or None.  Negative numbers are kept for the caller to
// refuse with its own message.
PyResult<std::vector<std::int64_t>> convert_row_list(PyObject* value, const char* parameter);

// A real number from 0.0 to 1.0 (int, float or anything with __float__);
// NaN and numbers outside the range are a ValueError.
PyResult<double> convert_threshold(PyObject* value);

// The UTF-8 text of `agg`; nothing when absent or None.
PyResult<std::optional<std::string>> convert_aggregation_text(PyObject* value);

// The file-system path in bytes, by the path protocol; errors unprefixed.
PyResult<std::string> convert_path(PyObject* value);

}  // namespace quarnel::binding
