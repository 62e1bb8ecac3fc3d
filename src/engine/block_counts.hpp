#pragma once
// The database's bit counts made block by block, by the first scan that
// meets each block, for the searches that read every row anyway (full
// matrix, mean, min).  Counting them all up front reads the database from
// memory once more than the scan does; counting a block just before a
// group scores it reads words already on their way into cache.  A minimum
// search that stops early never reads the blocks it does not reach.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/kernel/kernel_table.hpp"

namespace quarnel::engine {

class BlockCounts {
 public:
  static Result<BlockCounts> create(const std::uint64_t* words, std::uint64_t n_rows, std::uint64_t n_words,
                                    std::size_t block_rows) {
    QUARNEL_TRY(counts, allocate_zeroed<std::uint32_t>(n_rows));
    QUARNEL_TRY(states, allocate_zeroed<std::uint8_t>((n_rows + block_rows - 1) / block_rows));
    return BlockCounts(words, n_words, block_rows, std::move(counts), std::move(states));
  }

  // The counts of rows [first, last), where `first` starts a block and
  // `last` ends it or the database.  A block another worker is counting
  // at this moment is counted again into `spare` rather than waited for:
  // both counts are the same numbers.
  const std::uint32_t* counts_for(std::uint64_t first, std::uint64_t last, const kernel::KernelTable& kernel,
                                  std::uint32_t* spare) {
    std::atomic_ref<std::uint8_t> state(states_.data()[first / block_rows_]);
    std::uint8_t seen = state.load(std::memory_order_acquire);
    std::uint32_t* shared = counts_.data() + first;
    if (seen == counted) return shared;
    const std::uint64_t* rows = words_ + first * n_words_;
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (seen == untouched && state.compare_exchange_strong(seen, counting, std::memory_order_acquire)) {
      kernel.count_rows(rows, n, n_words_, shared);
      state.store(counted, std::memory_order_release);
      return shared;
    }
    kernel.count_rows(rows, n, n_words_, spare);
    return spare;
  }

 private:
  enum : std::uint8_t { untouched = 0, counting = 1, counted = 2 };

  BlockCounts(const std::uint64_t* words, std::uint64_t n_words, std::size_t block_rows,
              OwnedBuffer<std::uint32_t> counts, OwnedBuffer<std::uint8_t> states)
      : words_(words),
        n_words_(n_words),
        block_rows_(block_rows),
        counts_(std::move(counts)),
        states_(std::move(states)) {}

  const std::uint64_t* words_;
  std::uint64_t n_words_;
  std::size_t block_rows_;
  OwnedBuffer<std::uint32_t> counts_;
  OwnedBuffer<std::uint8_t> states_;  // one per block, read through atomic_ref
};

}  // namespace quarnel::engine
