#pragma once
// A mapped window's words as the engine may read them.  Our writer leaves
// the bits past a fingerprint's length zero, but a file made by another
// program may not, and loading such a file clears them (the vectors cannot
// hold them).  So that a file-backed search scores exactly what loading and
// searching in memory would, a window with stray bits is searched on a copy
// with those bits cleared; a clean window, the normal case, is read in place.

#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "store/mapped_fingerprint_file.hpp"

namespace quarnel::store {

class CleanWords {
 public:
  static Result<CleanWords> of(const MappedFingerprintFile& view);

  const std::uint64_t* data() const { return words_; }

 private:
  CleanWords(const std::uint64_t* words, OwnedBuffer<std::uint64_t> copy)
      : words_(words), copy_(std::move(copy)) {}
  const std::uint64_t* words_;
  OwnedBuffer<std::uint64_t> copy_;
};

}  // namespace quarnel::store
