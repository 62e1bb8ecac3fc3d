#pragma once
// The rows a picker reads: n_rows fingerprints of the call's word width,
// packed as in a fingerprint file, read in place.

#include <cstdint>

namespace quarnel::engine {

struct PickSource {
  const std::uint64_t* words;  // n_rows * n_words
  std::uint64_t n_rows;
};

}  // namespace quarnel::engine
