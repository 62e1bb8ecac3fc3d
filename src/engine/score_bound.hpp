#pragma once
// Exact pruning from bit counts.  No pair of rows with a and b bits scores
// above tanimoto_score(a, b, min(a, b)): the score grows with the common
// count c, and division rounds monotonically, so this holds in floating
// point too.  For a fixed query the bound rises with b up to a and falls
// after it, so the database counts that can still beat a threshold form
// one interval.

#include <algorithm>
#include <cstdint>

#include "engine/tanimoto_score.hpp"

namespace quarnel::engine {

inline double best_possible_score(std::uint32_t a, std::uint32_t b) {
  return tanimoto_score(a, b, std::min(a, b));
}

// The database counts b whose best possible score against `a` is strictly
// above `threshold`.
class CountWindow {
 public:
  static CountWindow beating(std::uint32_t a, double threshold) {
    CountWindow window;
    if (!(best_possible_score(a, a) > threshold)) return window;  // empty
    // Smallest b <= a that beats it: the bound rises on [0, a].
    std::uint64_t lo = 0, hi = a;
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (best_possible_score(a, static_cast<std::uint32_t>(mid)) > threshold) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    window.lo_ = static_cast<std::uint32_t>(lo);
    // Largest b >= a that beats it: the bound falls on [a, 2^32 - 1].
    lo = a;
    hi = UINT32_MAX;
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo + 1) / 2;
      if (best_possible_score(a, static_cast<std::uint32_t>(mid)) > threshold) {
        lo = mid;
      } else {
        hi = mid - 1;
      }
    }
    window.span_ = static_cast<std::uint32_t>(lo) - window.lo_;
    window.empty_ = false;
    return window;
  }

  bool contains(std::uint32_t b) const { return !empty_ & (b - lo_ <= span_); }
  bool empty() const { return empty_; }

 private:
  std::uint32_t lo_ = 0;
  std::uint32_t span_ = 0;
  bool empty_ = true;
};

}  // namespace quarnel::engine
