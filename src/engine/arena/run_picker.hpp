#pragma once
// The rows of a walk run (group_walk.hpp) whose score can still reach a
// floor: the score a row needs to enter a full top-k heap.  A row whose
// score equals the floor may still enter (its row number may be the lower),
// so only rows that cannot reach it are left out: by their count alone, or
// where the rows have segment counts, by their bound on the bits in common.
//
// The least number of bits in common that reaches the floor is found for
// each count b on its own, by halving where the metric's score rises with
// c and by a walk upwards in c otherwise; either way a row whose bound is
// below it cannot reach the floor, whatever the metric's roundings.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/block_scan.hpp"
#include "engine/kernel/row_segments.hpp"
#include "engine/score_bound.hpp"
#include "engine/segment_bound.hpp"

namespace quarnel::engine::arena {

// The least c <= min(a, b) with score(a, b, c) >= floor, or min(a, b) + 1
// where none reaches it.
template <class Metric>
std::uint32_t least_common_reaching(const Metric& metric, std::uint32_t a, std::uint32_t b, double floor) {
  if constexpr (Metric::rounds_monotonically) {
    // Scores are doubles: one reaches the floor exactly when it beats the
    // double just below it.
    return least_common_beating(metric, a, b, std::nextafter(floor, -1.0));
  } else {
    const std::uint32_t most = std::min(a, b);
    for (std::uint32_t c = 0; c <= most; ++c) {
      if (metric.score(a, b, c) >= floor) return c;
    }
    return most + 1;
  }
}

template <class Metric>
class RunPicker {
 public:
  RunPicker(const Metric& metric, const QueryRow& query, bool has_segments)
      : metric_(metric), query_(query), has_segments_(has_segments) {}

  // Lists in scratch.picked the offsets t < n of the run's rows (counts
  // ascending, segments row_segments a row or null) that may reach
  // `floor`; returns how many.
  std::size_t pick(const std::uint32_t* counts, const std::uint8_t* segments, std::size_t n, double floor,
                   BlockScratch& scratch) {
    if (!has_segments_ || segments == nullptr) return pick_by_count(counts, n, floor, scratch);
    const std::uint32_t lowest = counts[0];
    const std::uint32_t span = counts[n - 1] - lowest;
    if (span >= table_limit) return pick_row_by_row(counts, segments, n, floor, scratch);
    if (!(floor == table_floor_ && lowest == table_lowest_ && span == table_span_)) {
      table_.resize(span + 1);
      for (std::uint32_t b = lowest; b <= lowest + span; ++b) {
        table_[b - lowest] = least_common_reaching(metric_, query_.count, b, floor);
      }
      table_floor_ = floor;
      table_lowest_ = lowest;
      table_span_ = span;
    }
    return scratch.kernel.pick_reachable(counts, segments, n, lowest, span, table_.data(),
                                         query_.segments.data(), n, scratch.picked.data());
  }

 private:
  // Runs whose counts span more values than this are tested row by row.
  static constexpr std::uint32_t table_limit = 256;

  std::size_t pick_by_count(const std::uint32_t* counts, std::size_t n, double floor, BlockScratch& scratch) {
    if (!(floor == window_floor_)) {
      window_ = CountWindow::beating(metric_, query_.count, std::nextafter(floor, -1.0));
      window_floor_ = floor;
    }
    if (window_.empty()) return 0;
    return scratch.kernel.pick_in_window(counts, n, window_.lowest(), window_.highest() - window_.lowest(), n,
                                         scratch.picked.data());
  }

  std::size_t pick_row_by_row(const std::uint32_t* counts, const std::uint8_t* segments, std::size_t n,
                              double floor, BlockScratch& scratch) {
    const CommonBound bound(query_.segments.data());
    std::uint32_t* picked = scratch.picked.data();
    std::uint32_t count = counts[0];
    std::uint32_t needed = least_common_reaching(metric_, query_.count, count, floor);
    std::size_t n_picked = 0;
    for (std::size_t t = 0; t < n; ++t) {
      if (counts[t] != count) {
        count = counts[t];
        needed = least_common_reaching(metric_, query_.count, count, floor);
      }
      picked[n_picked] = static_cast<std::uint32_t>(t);
      n_picked += static_cast<std::size_t>(bound(segments + t * kernel::row_segments) >= needed);
    }
    return n_picked;
  }

  static constexpr double unset = -std::numeric_limits<double>::infinity();

  Metric metric_;
  const QueryRow& query_;
  bool has_segments_;
  std::vector<std::uint32_t> table_;
  double table_floor_ = unset;
  std::uint32_t table_lowest_ = 0;
  std::uint32_t table_span_ = 0;
  CountWindow window_;
  double window_floor_ = unset;
};

}  // namespace quarnel::engine::arena
