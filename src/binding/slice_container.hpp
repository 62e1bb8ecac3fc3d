#pragma once
// The owner object behind every result array: it holds the buffer and the
// routine that frees it, and runs that routine exactly once, when NumPy
// drops the last reference to it.

#include <Python.h>

#include <cstdint>

#include "binding/py_error.hpp"

namespace quarnel::binding {

// A new owner of `data`.  On failure the buffer has not been taken over.
PyResult<PyRef> make_slice_container(void* data, std::uint64_t length, void (*release)(void*));

}  // namespace quarnel::binding
