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
#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/block_scan.hpp"
#include "engine/score_bound.hpp"

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

// Rows scored per kernel call: small, since the first rows met are the
// likeliest to raise the maximum and so to end the walk early.
inline constexpr std::size_t best_first_batch = 16;

template <class Metric>
class BestFirstMax {
 public:
  BestFirstMax(const Metric& metric, const RowSet& set, const std::uint32_t* order)
      : metric_(metric), set_(set), order_(order) {}

  // The largest score of `query` against every other row of the set.
  double of(const QueryRow& query, BlockScratch& scratch) const {
    const std::uint32_t a = query.count;
    const std::uint64_t n = set_.n_rows;
    // up: the next position upwards (counts >= a); down: one past the next
    // position downwards.
    std::uint64_t up = first_position_of(a);
    std::uint64_t down = up;
    double best = 0.0;
    while (true) {
      const double up_bound = up < n ? bound(a, up) : -1.0;
      const double down_bound = down > 0 ? bound(a, down - 1) : -1.0;
      if (!(up_bound > best) && !(down_bound > best)) return best;
      std::size_t n_picked = 0;
      if (up_bound >= down_bound) {
        for (; n_picked < best_first_batch && up < n; ++up) pick(order_[up], query.index, scratch, n_picked);
      } else {
        for (; n_picked < best_first_batch && down > 0; --down)
          pick(order_[down - 1], query.index, scratch, n_picked);
      }
      std::uint32_t* common = scratch.and_counts.data();
      scratch.kernel.and_count_picked(query.words, set_.words, scratch.picked.data(), n_picked,
                                      scratch.n_words, common);
      for (std::size_t p = 0; p < n_picked; ++p) {
        best = std::max(best, metric_.score(a, set_.counts[scratch.picked[p]], common[p]));
      }
    }
  }

 private:
  double bound(std::uint32_t a, std::uint64_t position) const {
    return metric_.upper_bound(a, set_.counts[order_[position]]);
  }

  std::uint64_t first_position_of(std::uint32_t count) const {
    const std::uint32_t* found =
        std::lower_bound(order_, order_ + set_.n_rows, count,
                         [this](std::uint32_t row, std::uint32_t c) { return set_.counts[row] < c; });
    return static_cast<std::uint64_t>(found - order_);
  }

  static void pick(std::uint32_t row, std::uint64_t skip, BlockScratch& scratch, std::size_t& n_picked) {
    scratch.picked[n_picked] = row;
    n_picked += static_cast<std::size_t>(row != skip);
  }

  Metric metric_;
  const RowSet& set_;
  const std::uint32_t* order_;
};

}  // namespace quarnel::engine
