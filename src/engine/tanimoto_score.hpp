#pragma once

#include <cstdint>

namespace quarnel::engine {

// c / (a + b - c) for row counts a, b and AND count c, rounded once; 0.0 when
// both rows are empty.  a + b is formed in 64 bits: two dense rows of more
// than 2^31 bits would wrap a 32-bit sum.
constexpr double tanimoto_score(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  const std::uint64_t sum = static_cast<std::uint64_t>(a) + b;
  if (sum == 0) return 0.0;
  return static_cast<double>(c) / static_cast<double>(sum - c);
}

}  // namespace quarnel::engine
