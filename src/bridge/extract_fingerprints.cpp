#include "bridge/extract_fingerprints.hpp"

#include <boost/dynamic_bitset.hpp>
#include <cstddef>
#include <exception>
#include <iterator>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "binding/py_ref.hpp"
#include "bridge/native_bitvect.hpp"

namespace quarnel::bridge {
namespace {

using binding::PyRef;

// Writes words past the cache: the matrix is far larger than the cache and
// is read again only by the scan, so ordinary stores would first read every
// line of the fresh buffer (which the kernel has just zeroed) for nothing
// but to overwrite it, and push the vectors still to be read out.
class StreamingWriter {
 public:
  using iterator_category = std::output_iterator_tag;
  using value_type = void;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = void;

  explicit StreamingWriter(std::uint64_t* out) : out_(out) {}
  StreamingWriter& operator*() { return *this; }
  StreamingWriter& operator++() {
    ++out_;
    return *this;
  }
  StreamingWriter operator++(int) {
    StreamingWriter before = *this;
    ++out_;
    return before;
  }
  StreamingWriter& operator=(std::uint64_t word) {
#if defined(__x86_64__)
    _mm_stream_si64(reinterpret_cast<long long*>(out_), static_cast<long long>(word));
#else
    *out_ = word;
#endif
    return *this;
  }

 private:
  std::uint64_t* out_;
};

// Copies the vector's blocks to `out`; returns the end of the row.
std::uint64_t* append_blocks(const ExplicitBitVect& vector, std::uint64_t* out) {
  static_assert(sizeof(boost::dynamic_bitset<>::block_type) == sizeof(std::uint64_t));
  const boost::dynamic_bitset<>& bits = *vector.dp_bits;
  boost::to_block_range(bits, StreamingWriter(out));
  return out + bits.num_blocks();
}

// The whole matrix at once, once the first vector gives the width.  Its
// pages are mapped in one call (huge ones where the system allows) rather
// than faulted in one by one while the rows are copied: for a large list
// those faults cost more than the copying.
OwnedBuffer<std::uint64_t> allocate_rows(Py_ssize_t n, std::uint64_t n_words) {
  auto words = allocate_zeroed<std::uint64_t>(static_cast<std::uint64_t>(n) * n_words);
  if (!words) {
    PyErr_NoMemory();
    boost::python::throw_error_already_set();
  }
  return std::move(words).value();
}

// The wrappers lie scattered over the heap; touching the one a few places
// on lets its cache miss overlap the copying of this row.
constexpr Py_ssize_t lookahead = 8;

// The vectors themselves, resolved in a first pass, are touched in the
// same way while the words are copied.
constexpr std::size_t copy_lookahead = 8;

// Two passes: the first resolves every wrapper to its native vector and
// checks the lengths, the second copies the words, touching the vectors a
// few rows ahead.  Within one pass the cache misses of one kind overlap,
// where a single pass would wait on a wrapper, then its vector, then its
// words, row after row.
engine::FingerprintMatrix read_rows(PyObject* fast) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  engine::FingerprintMatrix matrix;
  matrix.count = static_cast<std::uint32_t>(n);
  std::vector<const ExplicitBitVect*> vectors(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i + lookahead < n) __builtin_prefetch(items[i + lookahead]);
    const ExplicitBitVect& vector = native_bitvect_at(items[i], i);
    const unsigned int n_bits = vector.getNumBits();
    if (i == 0) {
      matrix.n_bits = n_bits;
    } else if (n_bits != matrix.n_bits) {
      fail_length_mismatch(i, n_bits, matrix.n_bits);
    }
    vectors[static_cast<std::size_t>(i)] = &vector;
    if (i >= 1) __builtin_prefetch(vectors[static_cast<std::size_t>(i - 1)]->dp_bits);
  }
  if (n == 0) return matrix;
  matrix.words = allocate_rows(n, matrix.n_words());
  std::uint64_t* out = matrix.words.data();
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    if (i + copy_lookahead < vectors.size()) __builtin_prefetch(vectors[i + copy_lookahead]->dp_bits);
    out = append_blocks(*vectors[i], out);
  }
#if defined(__x86_64__)
  _mm_sfence();  // the streamed words are visible before any worker reads them
#endif
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
