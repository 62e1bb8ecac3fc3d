#include "binding/buffer_rows.hpp"

#include <cstring>
#include <string>

#include "binding/converters.hpp"
#include "engine/fingerprint_matrix.hpp"

namespace quarnel::binding {
namespace {

Error value_error(const char* parameter, const std::string& message) {
  return make_error(ErrorKind::value_error, std::string("argument '") + parameter + "': " + message);
}

// The struct-module codes of an 8-byte unsigned integer in native order:
// NumPy writes uint64 as "L" on LP64 systems, others write "Q".
bool is_uint64_format(const char* format, Py_ssize_t itemsize) {
  if (format == nullptr || itemsize != 8) return false;
  if (*format == '@' || *format == '=') ++format;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (*format == '<') ++format;
#endif
  return (std::strcmp(format, "Q") == 0 || std::strcmp(format, "L") == 0);
}

}  // namespace

PyResult<BufferRows> BufferRows::of(PyObject* array, PyObject* n_bits_object, const char* parameter) {
  QUARNEL_TRY(n_bits, convert_unsigned(n_bits_object, "n_bits", 0));
  if (n_bits > UINT32_MAX) return value_error(parameter, "n_bits must be below 2**32");
  if (!PyObject_CheckBuffer(array)) {
    return PyError(make_error(ErrorKind::type_error, "the array must support the buffer protocol, not '" +
                                                         type_name_of(array) + "'"))
        .with_argument_prefix(parameter);
  }
  HeldBuffer buffer(new Py_buffer{}, Release{});
  if (PyObject_GetBuffer(array, buffer.get(), PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
    // Nothing to release: the buffer was not filled.
    static_cast<void>(buffer.release());
    return PyError::fetch();
  }
  const Py_buffer& view = *buffer;
  if (!is_uint64_format(view.format, view.itemsize)) {
    return PyError(make_error(ErrorKind::type_error, std::string("the array must hold uint64, not format '") +
                                                         (view.format ? view.format : "B") + "'"))
        .with_argument_prefix(parameter);
  }
  if (view.ndim != 2) {
    return value_error(parameter, "the array must be 2-D, not " + std::to_string(view.ndim) + "-D");
  }
  if (!PyBuffer_IsContiguous(&view, 'C')) return value_error(parameter, "the array must be C-contiguous");
  if (reinterpret_cast<std::uintptr_t>(view.buf) % alignof(std::uint64_t) != 0) {
    return value_error(parameter, "the array's data must be aligned to 8 bytes");
  }
  const auto n_rows = static_cast<std::uint64_t>(view.shape[0]);
  const auto n_words = static_cast<std::uint64_t>(view.shape[1]);
  const std::uint64_t expected = engine::words_per_fingerprint(static_cast<std::uint32_t>(n_bits));
  if (n_words != expected) {
    return value_error(parameter, std::to_string(n_bits) + " bits take " + std::to_string(expected) +
                                      " words a row, but the array has " + std::to_string(n_words));
  }
  if (n_rows > UINT32_MAX) return value_error(parameter, "the array has more than 2**32 - 1 rows");
  const engine::RowView rows{static_cast<const std::uint64_t*>(view.buf), n_rows, n_words, 0};
  return BufferRows(std::move(buffer), rows, n_bits);
}

}  // namespace quarnel::binding
