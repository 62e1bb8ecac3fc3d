#pragma once

#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/kernel/kernel_table.hpp"

namespace quarnel::engine {

// The set-bit count of every row, computed once per call so that a pair costs
// only its AND count.
inline Result<OwnedBuffer<std::uint32_t>> count_row_bits(const std::uint64_t* words, std::uint64_t n_rows,
                                                         std::uint64_t n_words) {
  auto counts = allocate_zeroed<std::uint32_t>(n_rows);
  if (!counts) return counts;
  kernel::active_kernel().count_rows(words, n_rows, n_words, counts->data());
  return counts;
}

}  // namespace quarnel::engine
