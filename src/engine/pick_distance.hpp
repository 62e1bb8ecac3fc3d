#pragma once
// The distance RDKit's pickers compare, computed as they compute it:
// 1.0 - TanimotoSimilarity in double precision.  Unlike TanimotoMetric, two
// empty fingerprints are identical here (similarity 1.0, distance 0.0), as
// RDKit has them.  Comparing this exact value, rather than the similarity,
// keeps ties and sphere edges where RDKit's rounding puts them.
//
// The sphere-exclusion picker takes one of the two distance types below:
// distance(a, b, c) for a pair, and closest(a, b), no more than the
// distance of any pair with those bit counts, which falls as b rises to a
// and rises after it (SphereWindow relies on the shape).

#include <algorithm>
#include <cstdint>

namespace quarnel::engine {

// Rows of a and b bits sharing c of them.
constexpr double pick_distance(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  const std::uint64_t sum = static_cast<std::uint64_t>(a) + b;
  if (sum == 0) return 0.0;
  return 1.0 - static_cast<double>(c) / static_cast<double>(sum - c);
}

// No pair of rows with a and b bits is closer: the shared count is at most
// min(a, b), and both the division and 1.0 - x round monotonically.
constexpr double closest_possible_distance(std::uint32_t a, std::uint32_t b) {
  return pick_distance(a, b, std::min(a, b));
}

struct TanimotoPickDistance {
  double distance(std::uint32_t a, std::uint32_t b, std::uint32_t c) const { return pick_distance(a, b, c); }
  double closest(std::uint32_t a, std::uint32_t b) const { return closest_possible_distance(a, b); }
};

// 1.0 - score under a symmetric metric policy, two empty rows included
// (whatever the policy scores them).  The policy's upper_bound has the
// shape closest() needs, and 1.0 - x keeps it: it rounds monotonically.
template <class Metric>
struct MetricPickDistance {
  Metric metric;

  double distance(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    return 1.0 - metric.score(a, b, c);
  }
  double closest(std::uint32_t a, std::uint32_t b) const { return 1.0 - metric.upper_bound(a, b); }
};

}  // namespace quarnel::engine
