#include "bridge/build_bitvect_list.hpp"

#include <boost/dynamic_bitset.hpp>
#include <boost/python/converter/registrations.hpp>
#include <exception>

#include "binding/py_ref.hpp"
#include "bridge/native_bitvect.hpp"
#include "engine/fingerprint_matrix.hpp"

namespace quarnel::bridge {
namespace {

using binding::PyRef;

// Copies the row's words straight into the vector's blocks.  The resize to
// its own length clears any bit at or beyond n_bits (a hand-made file may
// have set some), and the OR with an empty vector refreshes the cached
// count of set bits, which the block copy bypassed.
PyObject* make_bitvect(const std::uint64_t* row, std::uint64_t n_words, std::uint32_t n_bits,
                       const ExplicitBitVect& blank) {
  ExplicitBitVect fresh(n_bits);
  boost::from_block_range(row, row + n_words, *fresh.dp_bits);
  fresh.dp_bits->resize(n_bits);
  fresh |= blank;
  PyObject* object = bitvect_registration.to_python(&fresh);
  if (object == nullptr) boost::python::throw_error_already_set();
  return object;
}

PyObject* fill_list(std::uint32_t count, std::uint32_t n_bits, const std::uint64_t* words) {
  PyRef list = PyRef::steal(PyList_New(count));
  if (!list) boost::python::throw_error_already_set();
  const ExplicitBitVect blank(n_bits);
  const std::uint64_t n_words = engine::words_per_fingerprint(n_bits);
  for (std::uint32_t r = 0; r < count; ++r) {
    PyList_SET_ITEM(list.get(), r, make_bitvect(words + r * n_words, n_words, n_bits, blank));
  }
  return list.release();
}

}  // namespace

std::uint64_t min_bitvect_bytes(std::uint32_t n_bits) {
  return sizeof(PyObject*) + sizeof(PyObject) + sizeof(ExplicitBitVect) + sizeof(boost::dynamic_bitset<>) +
         sizeof(std::uint64_t) * engine::words_per_fingerprint(n_bits);
}

PyObject* build_bitvect_list(std::uint32_t count, std::uint32_t n_bits, const std::uint64_t* words) noexcept {
  try {
    return fill_list(count, n_bits, words);
  } catch (const boost::python::error_already_set&) {
  } catch (const std::exception&) {
    PyErr_NoMemory();
  }
  PyErr_Print();
  PyErr_Clear();
  return nullptr;
}

}  // namespace quarnel::bridge
