#pragma once
// The population-count kernels every driver scores with.  Counts are exact
// integers, so any way of computing them gives identical scores.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace quarnel::engine::kernel {

inline std::uint32_t popcount_row(const std::uint64_t* row, std::size_t n_words) {
  std::uint32_t count = 0;
  for (std::size_t w = 0; w < n_words; ++w) count += static_cast<std::uint32_t>(std::popcount(row[w]));
  return count;
}

inline std::uint32_t and_popcount(const std::uint64_t* a, const std::uint64_t* b, std::size_t n_words) {
  std::uint32_t count = 0;
  for (std::size_t w = 0; w < n_words; ++w) {
    count += static_cast<std::uint32_t>(std::popcount(a[w] & b[w]));
  }
  return count;
}

}  // namespace quarnel::engine::kernel
