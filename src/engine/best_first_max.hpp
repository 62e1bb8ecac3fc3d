#pragma once
// The maximum score of each row of a set against the others, visiting the
// others by falling best possible score.  No pair scores above
// the metric's upper_bound of its two counts (metric_policies.hpp), and for a row
// of count a that bound falls as the other row's count moves away from a on
// either side.  So with the rows ordered by count, a row walks outwards
// from its own count, always on the side whose next row promises more, and
// stops on each side at the first row that cannot beat its running
// maximum: every row left out scores no more than the maximum found.  A
// maximum does not depend on the order its scores come in, so the result
// is the one a scan in row order gives, bit for bit.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/block_scan.hpp"
#include "engine/score_bound.hpp"
#include "engine/segment_bound.hpp"

namespace quarnel::engine {

// Row numbers ordered by (count, row); `set.counts` must be filled.
inline Result<OwnedBuffer<std::uint32_t>> rows_by_count(const RowSet& set) {
  auto order = allocate_zeroed<std::uint32_t>(set.n_rows);
  if (!order) return order;
  std::uint32_t* rows = order->data();
  for (std::uint64_t r = 0; r < set.n_rows; ++r) rows[r] = static_cast<std::uint32_t>(r);
  const std::uint32_t* counts = set.counts;
  std::sort(rows, rows + set.n_rows, [counts](std::uint32_t x, std::uint32_t y) {
    return counts[x] != counts[y] ? counts[x] < counts[y] : x < y;
  });
  return order;
}

// A copy of the set's rows in (count, row) order: the walk below reads the
// rows next to a position, so in this order it reads memory in runs, one
// kernel call a run, instead of one row here and one there.
struct RowsByCount {
  OwnedBuffer<std::uint32_t> rows;  // the set's row at each position
  OwnedBuffer<std::uint64_t> words;
  OwnedBuffer<std::uint32_t> counts;
  OwnedBuffer<std::uint8_t> segments;  // where the set has them
  std::uint64_t n_rows = 0;
  std::uint64_t n_words = 0;

  const std::uint64_t* row_words(std::uint64_t position) const { return words.data() + position * n_words; }
};

// `set.counts` must be filled.
inline Result<RowsByCount> copy_rows_by_count(const RowSet& set, std::uint64_t n_words) {
  RowsByCount sorted;
  QUARNEL_TRY(order, rows_by_count(set));
  QUARNEL_TRY(words, allocate_zeroed<std::uint64_t>(set.n_rows * n_words));
  QUARNEL_TRY(counts, allocate_zeroed<std::uint32_t>(set.n_rows));
  constexpr std::size_t per_row = kernel::row_segments;
  QUARNEL_TRY(segments, allocate_zeroed<std::uint8_t>(set.segments == nullptr ? 0 : set.n_rows * per_row));
  for (std::uint64_t p = 0; p < set.n_rows; ++p) {
    const std::uint32_t row = order.data()[p];
    std::copy_n(set.words + row * n_words, n_words, words.data() + p * n_words);
    counts.data()[p] = set.counts[row];
    if (set.segments != nullptr)
      std::copy_n(set.segments + row * per_row, per_row, segments.data() + p * per_row);
  }
  sorted.segments = std::move(segments);
  sorted.rows = std::move(order);
  sorted.words = std::move(words);
  sorted.counts = std::move(counts);
  sorted.n_rows = set.n_rows;
  sorted.n_words = n_words;
  return sorted;
}

// Rows scored per kernel call.  The first rows met are the likeliest to
// raise the maximum and end the walk, but a run costs one bound check and
// one call: AMD EPYC (Zen 4), 6,000 2048-bit rows, one thread: 16 a run
// 175 Mpairs/s, 64 228, 128 208.
inline constexpr std::size_t best_first_batch = 64;

// Runs whose counts span fewer values than this get a table of the least
// count needed per value; the rest are tested row by row.
inline constexpr std::uint32_t run_table_entries = 64;

// The largest score each position has met so far, as a row of another
// walk: the walk that scores a pair also scores it in the other row's
// direction (the same number for a symmetric metric) and hands it over, so
// that the other row's own walk starts from it and skips what cannot beat
// it.  Workers share it; any value it holds is a score of a real pair, so a
// walk that starts from it still ends at the row's maximum, whatever the
// interleaving.
class ScoresMet {
 public:
  explicit ScoresMet(double* best) : best_(best) {}

  double at(std::uint64_t position) const {
    return std::atomic_ref<double>(best_[position]).load(std::memory_order_relaxed);
  }

  void offer(std::uint64_t position, double score) const {
    std::atomic_ref<double> best(best_[position]);
    double now = best.load(std::memory_order_relaxed);
    while (score > now && !best.compare_exchange_weak(now, score, std::memory_order_relaxed)) {
    }
  }

 private:
  double* best_;
};

template <class Metric>
class BestFirstMax {
 public:
  BestFirstMax(const Metric& metric, const RowsByCount& sorted, ScoresMet met)
      : metric_(metric), sorted_(sorted), met_(met) {}

  // The largest score of the row at `position` against every other row.
  double of(std::uint64_t position, BlockScratch& scratch) const {
    const std::uint64_t* query = sorted_.row_words(position);
    const std::uint32_t* counts = sorted_.counts.data();
    const std::uint32_t a = counts[position];
    const std::uint64_t n = sorted_.n_rows;
    // up: the next position upwards; down: one past the next downwards.
    std::uint64_t up = position + 1;
    std::uint64_t down = position;
    double best = met_.at(position);
    std::uint32_t* common = scratch.and_counts.data();
    while (true) {
      const double up_bound = up < n ? metric_.upper_bound(a, counts[up]) : -1.0;
      const double down_bound = down > 0 ? metric_.upper_bound(a, counts[down - 1]) : -1.0;
      if (!(up_bound > best) && !(down_bound > best)) return best;
      std::uint64_t first = 0;
      std::size_t run = 0;
      if (up_bound >= down_bound) {
        first = up;
        run = static_cast<std::size_t>(std::min<std::uint64_t>(best_first_batch, n - up));
        up += run;
      } else {
        run = static_cast<std::size_t>(std::min<std::uint64_t>(best_first_batch, down));
        down -= run;
        first = down;
      }
      const std::size_t n_picked = pick_in_run(position, first, run, best, scratch);
      const std::uint32_t* picked = scratch.picked.data();
      scratch.kernel.and_count_picked(query, sorted_.row_words(first), picked, n_picked, sorted_.n_words,
                                      common);
      for (std::size_t p = 0; p < n_picked; ++p) {
        const std::uint64_t other = first + picked[p];
        const double score = metric_.score(a, counts[other], common[p]);
        best = std::max(best, score);
        // The other row scores this pair as its query.
        met_.offer(other, Metric::symmetric ? score : metric_.score(counts[other], a, common[p]));
      }
    }
  }

 private:
  // Lists in scratch.picked the positions first + t of the run (by t) that
  // may beat `best`: all of them, or, with segment counts, those whose
  // bound on the bits in common reaches the least that beats it.  The run
  // holds a count or two, so the least is found afresh for each.
  std::size_t pick_in_run(std::uint64_t position, std::uint64_t first, std::size_t run, double best,
                          BlockScratch& scratch) const {
    std::uint32_t* picked = scratch.picked.data();
    // The halving below needs a score that rises with c.
    if (!Metric::rounds_monotonically || sorted_.segments.size() == 0) {
      for (std::size_t t = 0; t < run; ++t) picked[t] = static_cast<std::uint32_t>(t);
      return run;
    }
    // The run's counts rise from its first row to its last: one table of
    // the least count needed over that range, for the kernel's picker.
    constexpr std::size_t per_row = kernel::row_segments;
    const std::uint32_t* counts = sorted_.counts.data();
    const std::uint32_t a = counts[position];
    const std::uint32_t lowest = counts[first];
    const std::uint32_t span = counts[first + run - 1] - lowest;
    std::array<std::uint32_t, run_table_entries> needed;
    if (span >= run_table_entries) return pick_all(position, first, run, best, scratch);
    for (std::uint32_t b = lowest; b <= lowest + span; ++b) {
      needed[b - lowest] = least_common_beating(metric_, a, b, best);
    }
    return scratch.kernel.pick_reachable(counts + first, sorted_.segments.data() + first * per_row, run,
                                         lowest, span, needed.data(),
                                         sorted_.segments.data() + position * per_row, run, picked);
  }

  // pick_in_run row by row, for a run whose counts are too far apart to
  // tabulate.
  std::size_t pick_all(std::uint64_t position, std::uint64_t first, std::size_t run, double best,
                       BlockScratch& scratch) const {
    constexpr std::size_t per_row = kernel::row_segments;
    std::uint32_t* picked = scratch.picked.data();
    const std::uint8_t* segments = sorted_.segments.data();
    const CommonBound bound(segments + position * per_row);
    const std::uint32_t a = sorted_.counts.data()[position];
    std::uint32_t count = UINT32_MAX;
    std::uint32_t needed = 0;
    std::size_t n_picked = 0;
    for (std::size_t t = 0; t < run; ++t) {
      const std::uint32_t b = sorted_.counts.data()[first + t];
      if (b != count) {
        count = b;
        needed = least_common_beating(metric_, a, b, best);
      }
      picked[n_picked] = static_cast<std::uint32_t>(t);
      n_picked += static_cast<std::size_t>(bound(segments + (first + t) * per_row) >= needed);
    }
    return n_picked;
  }

  Metric metric_;
  const RowsByCount& sorted_;
  ScoresMet met_;
};

}  // namespace quarnel::engine
