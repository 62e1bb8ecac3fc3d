#pragma once
// NumPy's C array API, reached through its "_ARRAY_API" capsule so that one
// build works with NumPy 1.x and 2.x and needs no NumPy headers.

#include <Python.h>

#include "binding/py_error.hpp"

namespace quarnel::binding {

struct NumpyApi {
  PyTypeObject* array_type;
  PyObject* (*descr_from_type)(int type_num);
  PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                              const Py_ssize_t* strides, void* data, int flags, PyObject* obj);
  int (*set_base_object)(PyObject* array, PyObject* base);
};

inline constexpr int npy_uint32 = 6;    // NPY_UINT
inline constexpr int npy_int64 = 7;     // NPY_LONG: 64 bits on 64-bit Linux
inline constexpr int npy_uint64 = 8;    // NPY_ULONG
inline constexpr int npy_float64 = 12;  // NPY_DOUBLE
inline constexpr int npy_array_writeable = 0x0400;

// Looked up once per process; an internal fault if NumPy cannot be reached.
// Other exceptions raised meanwhile (KeyboardInterrupt) pass as themselves,
// and a failed look-up is tried again by the next call.
PyResult<const NumpyApi*> numpy_api();

}  // namespace quarnel::binding
