#include "bridge/extract_fingerprints.hpp"

#include <boost/dynamic_bitset.hpp>
#include <exception>
#include <utility>

#include "binding/py_ref.hpp"
#include "bridge/native_bitvect.hpp"

namespace quarnel::bridge {
namespace {

using binding::PyRef;

// Copies the vector's blocks to `out`; returns the end of the row.
std::uint64_t* append_blocks(const ExplicitBitVect& vector, std::uint64_t* out) {
  static_assert(sizeof(boost::dynamic_bitset<>::block_type) == sizeof(std::uint64_t));
  const boost::dynamic_bitset<>& bits = *vector.dp_bits;
  boost::to_block_range(bits, out);
  return out + bits.num_blocks();
}

// The whole matrix at once, once the first vector gives the width: the
// storage a previous call gave back, or fresh pages mapped in one call
// (huge ones where the system allows) rather than faulted in one by one
// while the rows are copied.  Every word is then written.
ReusableBuffer<std::uint64_t> allocate_rows(Py_ssize_t n, std::uint64_t n_words) {
  auto words = ReusableBuffer<std::uint64_t>::allocate(static_cast<std::uint64_t>(n) * n_words);
  if (!words) {
    PyErr_NoMemory();
    boost::python::throw_error_already_set();
  }
  return std::move(words).value();
}

// The wrappers lie scattered over the heap; touching the one a few places
// on lets its cache miss overlap the copying of this row.
constexpr Py_ssize_t lookahead = 8;

engine::FingerprintMatrix read_rows(PyObject* fast) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  engine::FingerprintMatrix matrix;
  matrix.count = static_cast<std::uint32_t>(n);
  std::uint64_t* out = nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i + lookahead < n) __builtin_prefetch(items[i + lookahead]);
    const ExplicitBitVect& vector = native_bitvect_at(items[i], i);
    const unsigned int n_bits = vector.getNumBits();
    if (i == 0) {
      matrix.n_bits = n_bits;
      matrix.words = allocate_rows(n, matrix.n_words());
      out = matrix.words.data();
    } else if (n_bits != matrix.n_bits) {
      fail_length_mismatch(i, n_bits, matrix.n_bits);
    }
    out = append_blocks(vector, out);
  }
  return matrix;
}

}  // namespace

engine::FingerprintMatrix extract_fingerprints(PyObject* fps) noexcept {
  try {
    PyRef fast = PyRef::steal(PySequence_Fast(fps, "Expected a sequence"));
    if (!fast) boost::python::throw_error_already_set();
    return read_rows(fast.get());
  } catch (const boost::python::error_already_set&) {
  } catch (const std::exception&) {  // bad_alloc, or a length no vector can hold
    PyErr_NoMemory();
  }
  report_input_error();
  return engine::FingerprintMatrix{};
}

}  // namespace quarnel::bridge
