#pragma once

#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/kernel/kernel_table.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine {

// The set-bit count of every row, made once per call so that a pair costs
// only its AND count.  Counted on the pool: for a large database, reading
// every row once is a noticeable share of a search.
inline Result<OwnedBuffer<std::uint32_t>> count_row_bits(pool::WorkerPool& pool, const std::uint64_t* words,
                                                         std::uint64_t n_rows, std::uint64_t n_words) {
  auto counts = allocate_zeroed<std::uint32_t>(n_rows);
  if (!counts) return counts;
  std::uint32_t* out = counts->data();
  const kernel::KernelTable& kernel = kernel::kernel_for_width(n_words);
  pool.run([&] {
    pool::parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      kernel.count_rows(words + first * n_words, last - first, n_words, out + first);
    });
  });
  return counts;
}

}  // namespace quarnel::engine
