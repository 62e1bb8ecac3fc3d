#pragma once
// Fingerprint rows the caller passes as a 2-D uint64 array, read in place
// through the buffer protocol: no copy, and the buffer held until the call
// returns.  Row r's words are those of a fingerprint file's row r.
//
// The workers read the words while the interpreter lock is let go, as
// NumPy's own functions read arrays.  The held buffer keeps the memory in
// place (NumPy will not resize an array with another reference, nor
// array.array one with an export), but nothing stops another thread
// writing into it meanwhile: a row it changes during the call scores as
// some mix of its old and new words.  Copying every array to guard against
// that would double the memory of a call made on purpose to avoid a copy.

#include <Python.h>

#include <cstdint>
#include <memory>

#include "binding/py_error.hpp"
#include "engine/row_view.hpp"

namespace quarnel::binding {

class BufferRows {
 public:
  // `array` must be C-contiguous, 2-D, of uint64 and (N, ceil(n_bits / 64));
  // `parameter` names the argument in the errors.
  static PyResult<BufferRows> of(PyObject* array, PyObject* n_bits, const char* parameter);

  std::uint64_t n_bits() const { return n_bits_; }
  // Rows as they are in the array, stray bits past n_bits included.
  const engine::RowView& rows() const { return rows_; }

 private:
  struct Release {
    void operator()(Py_buffer* view) const {
      PyBuffer_Release(view);
      delete view;
    }
  };
  using HeldBuffer = std::unique_ptr<Py_buffer, Release>;

  BufferRows(HeldBuffer buffer, const engine::RowView& rows, std::uint64_t n_bits)
      : buffer_(std::move(buffer)), rows_(rows), n_bits_(n_bits) {}

  HeldBuffer buffer_;
  engine::RowView rows_;
  std::uint64_t n_bits_;
};

}  // namespace quarnel::binding
