#pragma once
// Rows as the engine may read them.  Our writer leaves the bits past a
// fingerprint's length zero, but a file made by another program (or an
// array filled by the caller) may not, and loading such a file clears them
// (the vectors cannot hold them).  So that a search over words read in
// place scores exactly what loading and searching in memory would, rows
// with stray bits are searched on a copy with those bits cleared; clean
// rows, the normal case, are read in place.

#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/row_view.hpp"
#include "store/mapped_fingerprint_file.hpp"

namespace quarnel::store {

class CleanWords {
 public:
  // `raw` holds fingerprints of n_bits bits; the view keeps its first_row.
  static Result<CleanWords> of(const engine::RowView& raw, std::uint64_t n_bits);
  // A mapped window, numbered from the file's first row.
  static Result<CleanWords> of(const MappedFingerprintFile& view);

  const std::uint64_t* data() const { return rows_.words; }
  const engine::RowView& rows() const { return rows_; }

 private:
  CleanWords(const engine::RowView& rows, OwnedBuffer<std::uint64_t> copy)
      : rows_(rows), copy_(std::move(copy)) {}
  engine::RowView rows_;
  OwnedBuffer<std::uint64_t> copy_;
};

}  // namespace quarnel::store
