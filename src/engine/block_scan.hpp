#pragma once
// The loop order both drivers share.  The database is read in blocks small
// enough to stay in cache, and every block serves a group of query rows
// before the next one is loaded, so the database streams from memory once
// per group rather than once per query.  Each query row still meets the
// database rows in increasing order, so a running sum, a running maximum
// or a top-k heap sees exactly the sequence a plain row loop would give.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/block_counts.hpp"
#include "engine/kernel/kernel_table.hpp"
#include "engine/kernel/row_segments.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine {

inline constexpr std::size_t max_block_rows = 2048;

// About 64 KiB of database words per block.
constexpr std::size_t block_rows_for(std::uint64_t n_words) {
  if (n_words == 0) return max_block_rows;
  return std::clamp<std::size_t>(65536 / (8 * n_words), 16, max_block_rows);
}

struct DbBlock {
  std::uint64_t first;  // database row of words[0]
  std::size_t n_rows;
  const std::uint64_t* words;
  const std::uint32_t* counts;   // set bits of each row
  const std::uint8_t* segments;  // row_segments counts a row, or null
};

struct QueryRow {
  std::uint64_t index;
  const std::uint64_t* words;
  std::uint32_t count;
  std::array<std::uint8_t, kernel::row_segments> segments;  // where the width has them
};

// Per-worker scratch for one block.
struct BlockScratch {
  const kernel::KernelTable& kernel;
  std::uint64_t n_words;
  std::array<std::uint32_t, max_block_rows> and_counts;
  std::array<std::uint32_t, max_block_rows> picked;
  std::array<std::uint32_t, max_block_rows> block_counts;  // counted while another worker counts it
  std::array<double, max_block_rows> scores;               // a block's scores, before they are summed
};

struct RowSet {
  const std::uint64_t* words;
  const std::uint32_t* counts;  // null where `block_counts` makes them
  std::uint64_t n_rows;
  const std::uint8_t* segments = nullptr;  // row_segments counts a row, where made
  BlockCounts* block_counts = nullptr;
};

// The counts of block [first, last) of `db`.
inline const std::uint32_t* block_counts(const RowSet& db, std::uint64_t first, std::uint64_t last,
                                         BlockScratch& scratch) {
  if (db.counts != nullptr) return db.counts + first;
  return db.block_counts->counts_for(first, last, scratch.kernel, scratch.block_counts.data());
}

// Runs `rows[s]` (one scorer per query of the group, already started) over
// database rows [first_column(s), n_rows) block by block.
template <class Scorer, class FirstColumn>
void scan_group(Scorer* rows, const QueryRow* queries, std::size_t group, const RowSet& db,
                BlockScratch& scratch, FirstColumn first_column) {
  const std::size_t block = block_rows_for(scratch.n_words);
  std::uint64_t start = db.n_rows;
  for (std::size_t s = 0; s < group; ++s) start = std::min(start, first_column(s));
  start -= start % block;
  for (std::uint64_t jb = start; jb < db.n_rows; jb += block) {
    // Per block, not per pair: a stop is seen within one block's work.
    if (pool::stop_requested()) return;
    const std::uint64_t je = std::min<std::uint64_t>(jb + block, db.n_rows);
    const std::uint32_t* counts = nullptr;  // of row jb, once a scorer needs the block
    for (std::size_t s = 0; s < group; ++s) {
      if (rows[s].finished()) continue;
      const std::uint64_t from = std::max(jb, first_column(s));
      if (from >= je) continue;
      if (counts == nullptr) counts = block_counts(db, jb, je, scratch);
      const DbBlock piece{from, static_cast<std::size_t>(je - from), db.words + from * scratch.n_words,
                          counts + (from - jb),
                          db.segments == nullptr ? nullptr : db.segments + from * kernel::row_segments};
      rows[s].scan(queries[s], piece, scratch);
    }
    if constexpr (requires { Scorer::end_block(rows, group); }) Scorer::end_block(rows, group);
  }
}

}  // namespace quarnel::engine
