#include "bridge/extract_fingerprints.hpp"

#include <boost/dynamic_bitset.hpp>
#include <exception>
#include <iterator>

#include "binding/py_ref.hpp"
#include "bridge/native_bitvect.hpp"

namespace quarnel::bridge {
namespace {

using binding::PyRef;

void append_blocks(const ExplicitBitVect& vector, std::vector<std::uint64_t>& words) {
  static_assert(sizeof(boost::dynamic_bitset<>::block_type) == sizeof(std::uint64_t));
  boost::to_block_range(*vector.dp_bits, std::back_inserter(words));
}

engine::FingerprintMatrix read_rows(PyObject* fast) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  engine::FingerprintMatrix matrix;
  matrix.count = static_cast<std::uint32_t>(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const ExplicitBitVect& vector = native_bitvect_at(items[i], i);
    const unsigned int n_bits = vector.getNumBits();
    if (i == 0) {
      matrix.n_bits = n_bits;
      matrix.words.reserve(static_cast<std::size_t>(n) * matrix.n_words());
    } else if (n_bits != matrix.n_bits) {
      fail_length_mismatch(i, n_bits, matrix.n_bits);
    }
    append_blocks(vector, matrix.words);
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
