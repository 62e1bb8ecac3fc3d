#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/kernel/kernel_table.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"

namespace quarnel::engine {

inline constexpr std::size_t count_slice_rows = std::size_t{1} << 16;

// The set-bit count of every row, made once per call so that a pair costs
// only its AND count.  Counted on the pool: for a large database, reading
// every row once is a noticeable share of a search.
inline Result<OwnedBuffer<std::uint32_t>> count_row_bits(pool::WorkerPool& pool, const std::uint64_t* words,
                                                         std::uint64_t n_rows, std::uint64_t n_words) {
  auto counts = allocate_zeroed<std::uint32_t>(n_rows);
  if (!counts) return counts;
  std::uint32_t* out = counts->data();
  const kernel::KernelTable& kernel = kernel::kernel_for_width(n_words);
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      // In slices, so that a stop is seen while a large piece is counted.
      for (std::size_t at = first; at < last && !pool::stop_requested(); at += count_slice_rows) {
        const std::size_t n = std::min(count_slice_rows, last - at);
        kernel.count_rows(words + at * n_words, n, n_words, out + at);
      }
    });
  }));
  return counts;
}

}  // namespace quarnel::engine
