#pragma once
// The one way results leave the system: a buffer the engine filled becomes
// a NumPy array's storage, without a copy.  The array's base is an owner
// object that frees the buffer when the last view of it goes.

#include <Python.h>

#include <cstdint>
#include <cstdlib>

#include "binding/numpy_api.hpp"
#include "binding/py_error.hpp"
#include "common/reusable_buffer.hpp"
#include "engine/engine_output.hpp"

namespace quarnel::binding {

struct RawBuffer {
  void* data;              // null for zero elements
  std::uint64_t length;    // elements
  void (*release)(void*);  // frees `data`
  int type_num;            // NumPy type number
  std::size_t element_size;
};

// Takes the buffer over in every case, failures included.
PyResult<PyRef> wrap_raw_buffer(RawBuffer buffer, int ndim, const std::uint64_t* shape);

template <class T>
constexpr int numpy_type_of();
template <>
constexpr int numpy_type_of<double>() {
  return npy_float64;
}
template <>
constexpr int numpy_type_of<std::uint32_t>() {
  return npy_uint32;
}

template <>
constexpr int numpy_type_of<std::int64_t>() {
  return npy_int64;
}

template <>
constexpr int numpy_type_of<std::uint64_t>() {
  return npy_uint64;
}

template <class T>
PyResult<PyRef> wrap_buffer_as_array(engine::ArrayBuffer<T> buffer) {
  const std::uint64_t length = buffer.data.size();
  RawBuffer raw{buffer.data.release(), length, &spare::offer_result, numpy_type_of<T>(), sizeof(T)};
  return wrap_raw_buffer(raw, buffer.ndim, buffer.shape);
}

// The engine's result as the object a function returns: an array, or the
// (indices, scores) tuple of a top-k search.
PyResult<PyRef> wrap_engine_output(engine::EngineOutput output);

// A threshold search's result as the tuple (indptr, indices, scores).
PyResult<PyRef> wrap_csr_output(engine::CsrOutput output);

}  // namespace quarnel::binding
