#include "binding/vector_rows.hpp"

#include <algorithm>

#include "binding/array_wrap.hpp"
#include "binding/binder.hpp"
#include "bridge/extract_fingerprints.hpp"

namespace quarnel::binding {
namespace {

constexpr const char* parameters[] = {"fps"};
constexpr FunctionSignature signature{"vector_rows", parameters, 1};

}  // namespace

PyResult<PyRef> vector_rows(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, bind_arguments(signature, args, nargsf, kwnames));
  // Invalid input is kept by the bridge and raised by the entry point.
  const engine::FingerprintMatrix matrix = bridge::extract_fingerprints(bound[0]);
  const std::uint64_t n_words = matrix.n_words();
  const std::uint64_t length = std::uint64_t{matrix.count} * n_words;
  auto words = allocate_zeroed<std::uint64_t>(length);
  if (!words) return PyError(std::move(words).error());
  if (length != 0) std::copy_n(matrix.words.data(), length, words->data());
  QUARNEL_TRY(array,
              wrap_buffer_as_array(engine::matrix_buffer(std::move(words).value(), matrix.count, n_words)));
  PyRef n_bits = PyRef::steal(PyLong_FromUnsignedLong(matrix.n_bits));
  if (!n_bits) return PyError::fetch();
  PyRef pair = PyRef::steal(PyTuple_Pack(2, array.get(), n_bits.get()));
  if (!pair) return PyError::fetch();
  return pair;
}

}  // namespace quarnel::binding
