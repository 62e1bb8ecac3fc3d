#pragma once
// A database prepared once for many searches: every row's bit count and
// segment counts, and optionally a copy of the rows regrouped by bit count.
// A search of a few queries then reads only the count groups that can
// hold an answer (Swamidass and Baldi's bound: the counts that can beat a
// score form one interval around the query's own count).

#include <cstdint>
#include <optional>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/kept_counts.hpp"
#include "engine/row_view.hpp"

namespace quarnel::engine::arena {

// The rows in (count, row) order: the rows of b bits sit at the stored
// positions [start[b], start[b + 1]), in increasing original order.
struct CountGroups {
  OwnedBuffer<std::uint64_t> words;    // n_rows * n_words, in stored order
  OwnedBuffer<std::uint32_t> counts;   // of each stored row
  OwnedBuffer<std::uint8_t> segments;  // row_segments a stored row, where the width has them
  OwnedBuffer<std::uint32_t> row_of;   // the original row at each stored position
  OwnedBuffer<std::uint64_t> start;    // n_bits + 2 offsets

  // The stored positions of the rows whose count lies in [lowest, highest].
  std::uint64_t first_of(std::uint32_t lowest) const;
  std::uint64_t end_of(std::uint32_t highest) const;
};

struct PreparedRows {
  RowView rows;  // the original rows, bits past n_bits clear; not owned
  std::uint32_t n_bits = 0;
  OwnedBuffer<std::uint32_t> counts;   // of each original row
  OwnedBuffer<std::uint8_t> segments;  // row_segments a row, where the width has them
  std::optional<CountGroups> groups;   // where asked for

  KeptCounts kept() const { return KeptCounts{counts.data(), segments.data()}; }
  // The counts of rows [first, first + n), for a search of that window.
  KeptCounts kept_from(std::uint64_t first) const;
  // The memory the preparation allocated (the rows themselves not included
  // unless copied).
  std::uint64_t owned_bytes() const;
};

// Rows [first, first + n_rows) of a prepared database, the rows a search
// reads; indices count from the database's first row.
struct DbWindow {
  std::uint64_t first;
  std::uint64_t n_rows;
};

// What prepare_rows allocates for n_rows rows of n_words words;
// UINT64_MAX when that does not fit 64 bits.
std::uint64_t prepared_rows_bytes(std::uint64_t n_rows, std::uint64_t n_words, bool group);

// Counts `rows` (clean, at most 2^32 - 1 of them, of n_bits bits) on
// n_threads workers and, with `group`, copies them in count order.  A
// MemoryError, before any work, when that cannot fit; the interrupted
// error when the caller's stop check stopped it.
Result<PreparedRows> prepare_rows(const RowView& rows, std::uint32_t n_bits, bool group,
                                  std::int32_t n_threads);

}  // namespace quarnel::engine::arena
