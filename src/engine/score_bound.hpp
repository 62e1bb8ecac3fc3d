#pragma once
// Exact pruning from bit counts.  No pair of rows with a and b bits scores
// above metric.upper_bound(a, b) (metric_policies.hpp).  For a fixed query
// the bound rises with b up to a and falls after it, so the database
// counts that can still beat a threshold form one interval.

#include <cstdint>

namespace quarnel::engine {

// The database counts b whose bound against `a` is strictly above
// `threshold`.
class CountWindow {
 public:
  template <class Metric>
  static CountWindow beating(const Metric& metric, std::uint32_t a, double threshold) {
    CountWindow window;
    if (!(metric.upper_bound(a, a) > threshold)) return window;  // empty
    // Smallest b <= a that beats it: the bound rises on [0, a].
    std::uint64_t lo = 0, hi = a;
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (metric.upper_bound(a, static_cast<std::uint32_t>(mid)) > threshold) {
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
      if (metric.upper_bound(a, static_cast<std::uint32_t>(mid)) > threshold) {
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
  std::uint32_t lowest() const { return lo_; }  // needs !empty()
  std::uint32_t highest() const { return lo_ + span_; }
  bool empty() const { return empty_; }

 private:
  std::uint32_t lo_ = 0;
  std::uint32_t span_ = 0;
  bool empty_ = true;
};

}  // namespace quarnel::engine
