#pragma once
// Exact pruning for sphere exclusion: the bit counts b of the rows that can
// lie within `radius` of a row of a bits.  The distance type's closest(a, b)
// (pick_distance.hpp) falls as b rises to a and rises after it, so they
// form one interval around a.  The interval always holds a itself, even
// where no pair is close enough: the exact comparison then rejects it.

#include <cstdint>

#include "engine/pick_distance.hpp"

namespace quarnel::engine {

class SphereWindow {
 public:
  SphereWindow() = default;

  template <class Distance>
  static SphereWindow around(std::uint32_t a, double radius, const Distance& distance) {
    auto reachable = [&](std::uint64_t b) {
      return distance.closest(a, static_cast<std::uint32_t>(b)) <= radius;
    };
    // Smallest reachable b <= a.
    std::uint64_t lo = 0, hi = a;
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (reachable(mid)) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    SphereWindow window;
    window.lo_ = static_cast<std::uint32_t>(lo);
    // Largest reachable b >= a.
    lo = a;
    hi = UINT32_MAX;
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo + 1) / 2;
      if (reachable(mid)) {
        lo = mid;
      } else {
        hi = mid - 1;
      }
    }
    window.span_ = static_cast<std::uint32_t>(lo) - window.lo_;
    return window;
  }

  bool contains(std::uint32_t b) const { return b - lo_ <= span_; }

 private:
  std::uint32_t lo_ = 0;
  std::uint32_t span_ = 0;
};

}  // namespace quarnel::engine
