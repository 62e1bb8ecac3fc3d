#pragma once
// A set of fingerprints of one bit length, packed as rows of 64-bit words.

#include <cstdint>

#include "common/reusable_buffer.hpp"

namespace quarnel::engine {

// Words per fingerprint of n_bits bits, in 64-bit arithmetic so that no
// 32-bit length can overflow it.
constexpr std::uint64_t words_per_fingerprint(std::uint32_t n_bits) {
  return (static_cast<std::uint64_t>(n_bits) + 63) / 64;
}

// Row r holds words r*W .. r*W + W - 1; bit i of a fingerprint is bit i % 64
// of word i / 64, and bits at and beyond n_bits are zero.
struct FingerprintMatrix {
  std::uint32_t count = 0;
  std::uint32_t n_bits = 0;
  ReusableBuffer<std::uint64_t> words;  // count * n_words()

  std::uint64_t n_words() const { return words_per_fingerprint(n_bits); }
};

}  // namespace quarnel::engine
