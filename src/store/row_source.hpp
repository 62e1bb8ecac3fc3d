#pragma once
// One fingerprint argument of the scoring functions: a fingerprint file,
// mapped, or an (array, n_bits) tuple, read in place.  Either way the
// rows come out as a window numbered from the source's first row.

#include <Python.h>

#include <cstdint>
#include <optional>

#include "binding/buffer_rows.hpp"
#include "binding/py_error.hpp"
#include "common/result.hpp"
#include "store/clean_words.hpp"
#include "store/mapped_fingerprint_file.hpp"

namespace quarnel::store {

class RowSource {
 public:
  // `value` is a path (str, bytes or os.PathLike) or (array, n_bits).  The
  // window starts at row min(db_offset, N) and holds at most db_limit rows
  // unless db_limit is 0, as for a mapped file.
  static binding::PyResult<RowSource> open(PyObject* value, const char* parameter, std::uint64_t db_offset,
                                           std::uint64_t db_limit);

  std::uint64_t count() const { return window_.n_rows; }
  std::uint64_t n_bits() const { return n_bits_; }
  // The window's rows with the bits past n_bits cleared (copied only when
  // some are set).
  Result<CleanWords> clean_rows() const { return CleanWords::of(window_, n_bits_); }

 private:
  RowSource(std::optional<MappedFingerprintFile> file, std::optional<binding::BufferRows> array,
            const engine::RowView& window, std::uint64_t n_bits)
      : file_(std::move(file)), array_(std::move(array)), window_(window), n_bits_(n_bits) {}

  // Whichever holds the words the window points into.
  std::optional<MappedFingerprintFile> file_;
  std::optional<binding::BufferRows> array_;
  engine::RowView window_;
  std::uint64_t n_bits_;
};

}  // namespace quarnel::store
