#pragma once
// The running mean/max/min of one row of scores.  The sum has a single
// accumulator fed in column order so that the mean is reproducible bit for
// bit whatever the thread count.

#include <cstdint>
#include <limits>

#include "engine/aggregation_mode.hpp"

namespace quarnel::engine {

class RowAggregate {
 public:
  // Each mode keeps only its own value.
  void add_to_sum(double score) { sum_ += score; }
  void add_to_max(double score) { max_ = score > max_ ? score : max_; }
  void add_to_min(double score) { min_ = score < min_ ? score : min_; }

  double max() const { return max_; }

  // `divisor` is the number of scores added (at least 1).
  double value(AggregationMode mode, std::uint64_t divisor) const {
    switch (mode) {
      case AggregationMode::mean: return sum_ / static_cast<double>(divisor);
      case AggregationMode::max: return max_;
      default: return min_;
    }
  }

 private:
  double sum_ = 0.0;
  double max_ = 0.0;
  // Not 1.0: a Tversky score can round a little above it.
  double min_ = std::numeric_limits<double>::infinity();
};

}  // namespace quarnel::engine
