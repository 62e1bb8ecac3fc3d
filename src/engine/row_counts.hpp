#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/kernel/kernel_table.hpp"
#include "engine/kernel/row_segments.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/segment_bound.hpp"

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

struct CountedRows {
  OwnedBuffer<std::uint32_t> counts;
  OwnedBuffer<std::uint8_t> segments;  // empty where the width has none
};

// The set-bit count of every row and, where the width has them, its
// segment counts, from one pass over the rows: the searches that prune by
// a running best read 16 bytes a row where they used to read the row.
inline Result<CountedRows> count_rows_and_segments(pool::WorkerPool& pool, const std::uint64_t* words,
                                                   std::uint64_t n_rows, std::uint64_t n_words) {
  if (!kernel::has_segments(n_words)) {
    QUARNEL_TRY(counts, count_row_bits(pool, words, n_rows, n_words));
    return CountedRows{std::move(counts), {}};
  }
  QUARNEL_TRY(counts, allocate_zeroed<std::uint32_t>(n_rows));
  QUARNEL_TRY(segments, allocate_zeroed<std::uint8_t>(n_rows * kernel::row_segments));
  std::uint32_t* count_out = counts.data();
  std::uint8_t* segment_out = segments.data();
  const kernel::KernelTable& kernel = kernel::kernel_for_width(n_words);
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      for (std::size_t at = first; at < last && !pool::stop_requested(); at += count_slice_rows) {
        const std::size_t n = std::min(count_slice_rows, last - at);
        kernel.count_segments(words + at * n_words, n, n_words, count_out + at,
                              segment_out + at * kernel::row_segments);
      }
    });
  }));
  return CountedRows{std::move(counts), std::move(segments)};
}

// With segment counts where `metric` can prune by them.
template <class Metric>
Result<CountedRows> count_rows_for(const Metric& metric, pool::WorkerPool& pool, const std::uint64_t* words,
                                   std::uint64_t n_rows, std::uint64_t n_words) {
  if (CommonNeeded::applies(metric)) return count_rows_and_segments(pool, words, n_rows, n_words);
  QUARNEL_TRY(counts, count_row_bits(pool, words, n_rows, n_words));
  return CountedRows{std::move(counts), {}};
}

}  // namespace quarnel::engine
