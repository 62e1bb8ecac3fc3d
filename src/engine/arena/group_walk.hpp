#pragma once
// The order in which a top-k search reads rows grouped by count: best
// possible score first.  For a query of a bits the bound
// metric.upper_bound(a, b) rises with b up to a and falls after it
// (metric_policies.hpp), so the walk starts at the first row of count a and
// moves outwards, always on the side whose next row promises more, in runs
// of consecutive stored rows.  The runs' bounds never rise along the walk,
// and no row of a run has a higher bound than its first one: once a run's
// bound is below the score a row needs to enter, no later row can enter.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace quarnel::engine::arena {

struct WalkRun {
  std::uint64_t first;  // stored position of its first row
  std::size_t n_rows;
  double bound;  // the highest score any of its rows can reach
};

template <class Metric>
class GroupWalk {
 public:
  // `counts` are the stored rows' counts, in increasing order; `middle` is
  // the first position whose count is at least a.
  GroupWalk(const Metric& metric, std::uint32_t a, const std::uint32_t* counts, std::uint64_t n_rows,
            std::uint64_t middle, std::size_t run_rows)
      : metric_(metric),
        a_(a),
        counts_(counts),
        n_rows_(n_rows),
        run_rows_(run_rows),
        up_(middle),
        down_(middle) {}

  // The next run; false once every row has been given or the next run's
  // bound is below `floor` (a row that equals the floor may still enter a
  // heap by its lower row number, so it is still given).  Ties go upwards,
  // so the order is fixed by the counts alone.
  bool next(WalkRun& run, double floor = -std::numeric_limits<double>::infinity()) {
    const bool up_left = up_ < n_rows_;
    const bool down_left = down_ > 0;
    if (!up_left && !down_left) return false;
    const double up_bound = up_left ? metric_.upper_bound(a_, counts_[up_]) : 0.0;
    const double down_bound = down_left ? metric_.upper_bound(a_, counts_[down_ - 1]) : 0.0;
    if (std::max(up_left ? up_bound : 0.0, down_left ? down_bound : 0.0) < floor) return false;
    if (up_left && (!down_left || up_bound >= down_bound)) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(run_rows_, n_rows_ - up_));
      run = WalkRun{up_, n, up_bound};
      up_ += n;
    } else {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(run_rows_, down_));
      down_ -= n;
      run = WalkRun{down_, n, down_bound};
    }
    return true;
  }

 private:
  Metric metric_;
  std::uint32_t a_;
  const std::uint32_t* counts_;
  std::uint64_t n_rows_;
  std::size_t run_rows_;
  std::uint64_t up_;    // the next position upwards
  std::uint64_t down_;  // one past the next position downwards
};

}  // namespace quarnel::engine::arena
