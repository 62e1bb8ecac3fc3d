#include "engine/arena/prepared_rows.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/saturating.hpp"
#include "engine/call_footprint.hpp"
#include "engine/kernel/row_segments.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/row_counts.hpp"

namespace quarnel::engine::arena {
namespace {

constexpr std::size_t per_row = kernel::row_segments;

constexpr auto times = saturating_times;
constexpr auto plus = saturating_plus;

std::uint64_t segment_bytes(std::uint64_t n_rows, std::uint64_t n_words) {
  return kernel::has_segments(n_words) ? times(n_rows, per_row) : 0;
}

// Rows a worker copies between two looks at the stop flag.
constexpr std::size_t copy_slice_rows = std::size_t{1} << 14;

// Rows ahead of the one copied whose words are asked for: the rows of one
// count lie anywhere in the source, so the hardware cannot guess the next.
constexpr std::uint64_t prefetch_distance = 8;

// start[b] = the number of rows of fewer than b bits, for b = 0 .. n_bits + 1.
Result<OwnedBuffer<std::uint64_t>> group_starts(const std::uint32_t* counts, std::uint64_t n_rows,
                                                std::uint32_t n_bits) {
  QUARNEL_TRY(start, allocate_zeroed<std::uint64_t>(std::uint64_t{n_bits} + 2));
  std::uint64_t* at = start.data();
  for (std::uint64_t r = 0; r < n_rows; ++r) ++at[counts[r] + 1];
  for (std::uint64_t b = 1; b < start.size(); ++b) at[b] += at[b - 1];
  return std::move(start);
}

// Stored position -> original row: a counting sort, stable, so that each
// group keeps its rows in increasing order.
Result<OwnedBuffer<std::uint32_t>> rows_in_count_order(const std::uint32_t* counts, std::uint64_t n_rows,
                                                       const OwnedBuffer<std::uint64_t>& start) {
  QUARNEL_TRY(row_of, allocate_zeroed<std::uint32_t>(n_rows));
  std::vector<std::uint64_t> next(start.data(), start.data() + start.size());
  std::uint32_t* out = row_of.data();
  for (std::uint64_t r = 0; r < n_rows; ++r) out[next[counts[r]]++] = static_cast<std::uint32_t>(r);
  return std::move(row_of);
}

// Copies the rows, their counts and segments into stored order, a share per
// worker; each worker maps the pages it writes.
Result<Ok> copy_in_count_order(pool::WorkerPool& pool, const PreparedRows& prepared, CountGroups& groups) {
  const std::uint64_t n_rows = prepared.rows.n_rows;
  const std::uint64_t n_words = prepared.rows.n_words;
  const std::uint64_t* source = prepared.rows.words;
  const std::uint32_t* row_of = groups.row_of.data();
  const bool has_segments = groups.segments.size() != 0;
  return run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      for (std::size_t at = first; at < last && !pool::stop_requested(); at += copy_slice_rows) {
        const std::size_t end = std::min(last, at + copy_slice_rows);
        std::uint64_t* words = groups.words.data() + at * n_words;
        populate_for_writing(words, (end - at) * n_words * sizeof(std::uint64_t));
        for (std::size_t p = at; p < end; ++p) {
          if (p + prefetch_distance < end)
            __builtin_prefetch(source + row_of[p + prefetch_distance] * n_words);
          const std::uint64_t row = row_of[p];
          // Zero-width rows have no storage at all: memcpy must not see null.
          if (n_words != 0) std::memcpy(words, source + row * n_words, n_words * sizeof(std::uint64_t));
          words += n_words;
          groups.counts.data()[p] = prepared.counts.data()[row];
          if (has_segments) {
            std::memcpy(groups.segments.data() + p * per_row, prepared.segments.data() + row * per_row,
                        per_row);
          }
        }
      }
    });
  });
}

Result<CountGroups> group_by_count(pool::WorkerPool& pool, const PreparedRows& prepared) {
  const std::uint64_t n_rows = prepared.rows.n_rows;
  const std::uint64_t n_words = prepared.rows.n_words;
  CountGroups groups;
  QUARNEL_TRY(start, group_starts(prepared.counts.data(), n_rows, prepared.n_bits));
  QUARNEL_TRY(row_of, rows_in_count_order(prepared.counts.data(), n_rows, start));
  QUARNEL_TRY(words, allocate_zeroed<std::uint64_t>(n_rows * n_words, Prefault::by_writers));
  QUARNEL_TRY(counts, allocate_zeroed<std::uint32_t>(n_rows));
  QUARNEL_TRY(segments, allocate_zeroed<std::uint8_t>(prepared.segments.size()));
  groups.start = std::move(start);
  groups.row_of = std::move(row_of);
  groups.words = std::move(words);
  groups.counts = std::move(counts);
  groups.segments = std::move(segments);
  QUARNEL_CHECK(copy_in_count_order(pool, prepared, groups));
  return groups;
}

Result<PreparedRows> build(pool::WorkerPool& pool, const RowView& rows, std::uint32_t n_bits, bool group) {
  PreparedRows prepared;
  prepared.rows = rows;
  prepared.n_bits = n_bits;
  if (rows.n_words == 0) {
    // Zero-width rows are all empty: their counts are the zeros allocated.
    QUARNEL_TRY(counts, allocate_zeroed<std::uint32_t>(rows.n_rows));
    prepared.counts = std::move(counts);
  } else if (rows.n_rows != 0) {
    QUARNEL_TRY(counted, count_rows_and_segments(pool, rows.words, rows.n_rows, rows.n_words));
    prepared.counts = std::move(counted.counts);
    prepared.segments = std::move(counted.segments);
  }
  if (group) {
    QUARNEL_TRY(groups, group_by_count(pool, prepared));
    prepared.groups.emplace(std::move(groups));
  }
  return prepared;
}

}  // namespace

std::uint64_t CountGroups::first_of(std::uint32_t lowest) const {
  return start.data()[std::min<std::uint64_t>(lowest, start.size() - 1)];
}

std::uint64_t CountGroups::end_of(std::uint32_t highest) const {
  return start.data()[std::min<std::uint64_t>(std::uint64_t{highest} + 1, start.size() - 1)];
}

KeptCounts PreparedRows::kept_from(std::uint64_t first) const {
  return KeptCounts{counts.data() + first,
                    segments.size() == 0 ? nullptr : segments.data() + first * per_row};
}

std::uint64_t PreparedRows::owned_bytes() const {
  std::uint64_t bytes = counts.size() * sizeof(std::uint32_t) + segments.size();
  if (groups) {
    bytes += groups->words.size() * sizeof(std::uint64_t) + groups->counts.size() * sizeof(std::uint32_t) +
             groups->segments.size() + groups->row_of.size() * sizeof(std::uint32_t) +
             groups->start.size() * sizeof(std::uint64_t);
  }
  return bytes;
}

std::uint64_t prepared_rows_bytes(std::uint64_t n_rows, std::uint64_t n_words, bool group) {
  const std::uint64_t counts = plus(times(n_rows, sizeof(std::uint32_t)), segment_bytes(n_rows, n_words));
  if (!group) return counts;
  // The copy: words, counts, segments and row numbers, and the starts.
  const std::uint64_t copy = plus(times(times(n_rows, n_words), sizeof(std::uint64_t)),
                                  plus(counts, times(n_rows, sizeof(std::uint32_t))));
  const std::uint64_t starts = times(plus(times(n_words, 64), 2), sizeof(std::uint64_t));
  return plus(plus(counts, copy), starts);
}

Result<PreparedRows> prepare_rows(const RowView& rows, std::uint32_t n_bits, bool group,
                                  std::int32_t n_threads) {
  if (rows.n_rows > UINT32_MAX) {
    return make_error(ErrorKind::internal_fault, "a prepared database holds at most 2^32 - 1 rows");
  }
  QUARNEL_CHECK(refuse_unfit_call(prepared_rows_bytes(rows.n_rows, rows.n_words, group)));
  auto pool = pool::WorkerPool::for_call(n_threads, UINT64_MAX);
  if (!pool) return pool_build_error(pool.error());
  auto prepared = build(*pool, rows, n_bits, group);
  pool->shutdown();
  return prepared;
}

}  // namespace quarnel::engine::arena
