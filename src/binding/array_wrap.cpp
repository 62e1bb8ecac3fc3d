#include "binding/array_wrap.hpp"

#include "binding/slice_container.hpp"

namespace quarnel::binding {
namespace {

// Zero-element arrays still need a non-null, aligned address; nothing ever
// reads, writes or frees it.
alignas(16) unsigned char empty_placeholder[16];

}  // namespace

PyResult<PyRef> wrap_raw_buffer(RawBuffer buffer, int ndim, const std::uint64_t* shape) {
  if (buffer.data == nullptr) buffer.release = nullptr;
  auto owner = make_slice_container(buffer.data, buffer.length, buffer.release);
  if (!owner) {
    if (buffer.release != nullptr) buffer.release(buffer.data);
    return owner;
  }
  // From here on the owner frees the buffer, whatever happens.
  auto api = numpy_api();
  if (!api) return std::move(api).error();

  // Row-major: a 2-D array of c columns has strides (c*s, s).
  const auto element_size = static_cast<Py_ssize_t>(buffer.element_size);
  const bool matrix = ndim == 2;
  const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(shape[0]),
                              matrix ? static_cast<Py_ssize_t>(shape[1]) : 0};
  const Py_ssize_t strides[2] = {matrix ? dims[1] * element_size : element_size, element_size};

  PyObject* descr = (*api)->descr_from_type(buffer.type_num);
  if (descr == nullptr) return PyError::fetch();
  void* data = buffer.data != nullptr ? buffer.data : empty_placeholder;
  // new_from_descr steals the descriptor reference, also when it fails.
  PyRef array = PyRef::steal((*api)->new_from_descr((*api)->array_type, descr, matrix ? 2 : 1, dims, strides,
                                                    data, npy_array_writeable, nullptr));
  if (!array) return PyError::fetch();
  if ((*api)->set_base_object(array.get(), owner.value().release()) < 0) return PyError::fetch();
  return array;
}

PyResult<PyRef> wrap_engine_output(engine::EngineOutput output) {
  if (auto* scores = std::get_if<engine::ArrayBuffer<double>>(&output)) {
    return wrap_buffer_as_array(std::move(*scores));
  }
  auto& topk = std::get<engine::TopKOutput>(output);
  // Wrap both before anything can fail, so neither buffer is left unowned.
  auto indices = wrap_buffer_as_array(std::move(topk.indices));
  auto scores = wrap_buffer_as_array(std::move(topk.scores));
  if (!indices) return indices;
  if (!scores) return scores;
  PyObject* pair = PyTuple_Pack(2, indices->get(), scores->get());
  if (pair == nullptr) return PyError::fetch();
  return PyRef::steal(pair);
}

PyResult<PyRef> wrap_csr_output(engine::CsrOutput output) {
  // As for top-k: every buffer gets its owner before anything can fail.
  auto indptr = wrap_buffer_as_array(std::move(output.indptr));
  auto indices = wrap_buffer_as_array(std::move(output.indices));
  auto scores = wrap_buffer_as_array(std::move(output.scores));
  if (!indptr) return indptr;
  if (!indices) return indices;
  if (!scores) return scores;
  PyObject* triple = PyTuple_Pack(3, indptr->get(), indices->get(), scores->get());
  if (triple == nullptr) return PyError::fetch();
  return PyRef::steal(triple);
}

}  // namespace quarnel::binding
