#pragma once
// The distance RDKit's pickers compare, computed as they compute it:
// 1.0 - TanimotoSimilarity in double precision.  Unlike TanimotoMetric, two
// empty fingerprints are identical here (similarity 1.0, distance 0.0), as
// RDKit has them.  Comparing this exact value, rather than the similarity,
// keeps ties and sphere edges where RDKit's rounding puts them.

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

}  // namespace quarnel::engine
