#pragma once

#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/kernel/popcount.hpp"

namespace quarnel::engine {

// The set-bit count of every row, computed once per call so that a pair costs
// only its AND count.
inline Result<OwnedBuffer<std::uint32_t>> count_row_bits(const std::uint64_t* words, std::uint64_t n_rows,
                                                         std::uint64_t n_words) {
  auto counts = allocate_zeroed<std::uint32_t>(n_rows);
  if (!counts) return counts;
  std::uint32_t* out = counts->data();
  for (std::uint64_t r = 0; r < n_rows; ++r) out[r] = kernel::popcount_row(words + r * n_words, n_words);
  return counts;
}

}  // namespace quarnel::engine
