#pragma once
// Sizes that saturate instead of wrapping: a footprint past 2^64 - 1 bytes
// is simply too large, and must not wrap to a small one.

#include <cstdint>

namespace quarnel {

inline std::uint64_t saturating_times(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

inline std::uint64_t saturating_plus(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

}  // namespace quarnel
