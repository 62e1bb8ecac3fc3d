#pragma once
// How near a MaxMin candidate is to the nearest pick it has met, in the
// form that orders candidates as RDKit's lazy MaxMin orders them, and the
// measures that compute it from a pair's bit counts: a row of a bits, a
// pick of b bits, c bits in common.

#include <cstdint>
#include <type_traits>

#include "engine/pick_distance.hpp"

namespace quarnel::engine {

// Tanimoto as the fraction common / either; either is never 0.
template <class Count>
struct TanimotoFraction {
  Count common;
  Count either;
};

// Whether x is farther from its pick than y is, that is whether the
// distance RDKit computes (1.0 - c / e in double) is above.  With at most
// 65535 bits the fractions are compared exactly by cross-multiplication:
// two different fractions of such denominators are more than 2^-32 apart,
// far beyond what the double division and subtraction can blur, so they
// order as RDKit's doubles do, and equal fractions give equal doubles.
// Wider rows compare RDKit's doubles themselves.
template <class Count>
constexpr bool farther(TanimotoFraction<Count> x, TanimotoFraction<Count> y) {
  if constexpr (std::is_same_v<Count, std::uint16_t>) {
    return static_cast<std::uint32_t>(x.common) * y.either < static_cast<std::uint32_t>(y.common) * x.either;
  } else {
    return 1.0 - static_cast<double>(x.common) / static_cast<double>(x.either) >
           1.0 - static_cast<double>(y.common) / static_cast<double>(y.either);
  }
}

// The distance 1.0 - score itself, for the metrics other than Tanimoto:
// the double RDKit's picker compares when handed that distance function.
struct PickedDistance {
  double value;
};

constexpr bool farther(PickedDistance x, PickedDistance y) { return x.value > y.value; }

// Tanimoto with counts of up to 16 bits for rows of at most 65535 bits,
// which keeps a candidate at 12 bytes.  Two empty rows are identical
// (1 / 1), as RDKit's pickers have them.
template <class Count>
struct TanimotoFractions {
  using Nearness = TanimotoFraction<Count>;

  constexpr Nearness operator()(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    const std::uint32_t either = a + b - c;
    if (either == 0) return {Count{1}, Count{1}};
    return {static_cast<Count>(c), static_cast<Count>(either)};
  }
};

// 1.0 - score under a symmetric metric policy, whatever it scores two
// empty rows: the sphere-exclusion picker's distance.
template <class Metric>
struct MetricDistances {
  using Nearness = PickedDistance;
  MetricPickDistance<Metric> pair;

  Nearness operator()(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    return {pair.distance(a, b, c)};
  }
};

}  // namespace quarnel::engine
