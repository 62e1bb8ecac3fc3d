#pragma once
// The similarity metrics, one policy type each: score(a, b, c) for a query
// of a bits, a target of b bits and c bits in common, computed exactly as
// RDKit's DataStructs compute it (same operations in the same order, in
// double precision), so that every pair gives RDKit's double bit for bit.
//
// Every score grows with c, and c <= min(a, b), so upper_bound(a, b) is no
// lower than any score a pair with those counts can have.  For a fixed
// query the bound rises with b up to a and falls after it (the pruning
// windows and the best-first walk rely on this shape); it must do so in
// floating point too, not only in exact arithmetic.  Scores are never
// negative, so a minimum can stop at 0.0.
//
// Where falls_with_target_count() holds, the computed score never rises as
// b grows (a and c fixed), so the least c that beats a score never falls as
// b grows and one walk upwards in c tabulates it over b (segment_bound.hpp).
// Where `rounds_monotonically` holds, the score also never falls as c
// grows, so that least c can be found by halving.
//
// A template of the drivers takes the policy by value: the scoring is
// inlined into each scan, chosen once per call.

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quarnel::engine {

// c / (a + b - c); 0.0 for two empty rows (RDKit has 1.0 there, but this
// module has always answered 0.0 and keeps doing so).  a + b is formed in
// 64 bits: two dense rows of more than 2^31 bits would wrap a 32-bit sum.
struct TanimotoMetric {
  static constexpr bool symmetric = true;
  // One rounding of exact integers' quotient.
  static constexpr bool rounds_monotonically = true;
  bool falls_with_target_count() const { return true; }

  double score(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    const std::uint64_t sum = static_cast<std::uint64_t>(a) + b;
    if (sum == 0) return 0.0;
    return static_cast<double>(c) / static_cast<double>(sum - c);
  }
  // One correctly rounded division of exact integers: monotone in b.
  double upper_bound(std::uint32_t a, std::uint32_t b) const { return score(a, b, std::min(a, b)); }
};

// RDKit: 2 * x / (y + z), 0.0 when y + z is 0.
struct DiceMetric {
  static constexpr bool symmetric = true;
  // 2 * x and y + z are exact: one rounding of a monotone quotient.
  static constexpr bool rounds_monotonically = true;
  bool falls_with_target_count() const { return true; }

  double score(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    const double x = c, y = a, z = b;
    if (y + z > 0.0) return 2 * x / (y + z);
    return 0.0;
  }
  // 2 * x and y + z are exact, so this is one rounding of a monotone value.
  double upper_bound(std::uint32_t a, std::uint32_t b) const { return score(a, b, std::min(a, b)); }
};

// RDKit: x / sqrt(y * z), 0.0 when y * z is 0.
struct CosineMetric {
  static constexpr bool symmetric = true;
  // x over a divisor that depends on a and b alone, and that the rounded
  // product and square root never make smaller as b grows.
  static constexpr bool rounds_monotonically = true;
  bool falls_with_target_count() const { return true; }

  double score(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    const double x = c, y = a, z = b;
    if (y * z > 0.0) return x / std::sqrt(y * z);
    return 0.0;
  }
  // sqrt(min / max) in exact terms.  Neighbouring counts change it by a
  // relative 2^-34 or more, far above the three roundings here, so the
  // computed bound keeps the exact one's shape.
  double upper_bound(std::uint32_t a, std::uint32_t b) const { return score(a, b, std::min(a, b)); }
};

// RDKit: x / (alpha * y + beta * z + (1 - alpha - beta) * x), 1.0 when the
// denominator is 0.  alpha weighs the query's own bits, beta the target's.
// Asymmetric: score(a, b, c) is the query of a bits against the target of b.
class TverskyMetric {
 public:
  static constexpr bool symmetric = false;
  // The denominator's three rounded terms move against each other as c
  // grows.
  static constexpr bool rounds_monotonically = false;

  // alpha and beta are finite and at least 0.
  TverskyMetric(double alpha, double beta)
      : alpha_(alpha),
        beta_(beta),
        rest_(1 - alpha - beta),
        margin_(1.0 + 0x1p-52 * 16 * (4 + alpha + beta)) {}

  // Each rounded step of the denominator is monotone in z, so it never
  // shrinks as b grows; with weights of at most 1 it stays positive where it
  // is not 0 (exactly it is at least c, and its roundings are off by far
  // less than 1), so the quotient never rises.  Larger weights let it
  // cancel (see margin_): such metrics are pruned by bit counts alone.
  bool falls_with_target_count() const { return alpha_ <= 1.0 && beta_ <= 1.0; }

  double alpha() const { return alpha_; }
  double beta() const { return beta_; }
  double rest() const { return rest_; }

  double score(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    const double x = c, y = a, z = b;
    const double denominator = alpha_ * y + beta_ * z + rest_ * x;
    if (denominator == 0.0) return 1.0;
    return x / denominator;
  }

  // In exact terms the bound is 1 / (1 + alpha * (a - b) / b) for b <= a
  // and 1 / (1 + beta * (b - a) / a) for b >= a.  Written so, each step is
  // one monotone rounding of a monotone quantity, so the bound keeps its
  // shape in floating point whatever alpha and beta are (RDKit's own
  // expression, for tiny weights, need not).  The margin covers the
  // roundings by which either form may stray from the exact value; weights
  // above 1 make RDKit's denominator cancel, so it grows with them.
  double upper_bound(std::uint32_t a, std::uint32_t b) const {
    if (b <= a) return towards_peak(alpha_, a - b, b);
    return towards_peak(beta_, b - a, a);
  }

 private:
  // 1 / (1 + weight * gap / shared), shared being the most bits the two
  // rows can have in common.
  double towards_peak(double weight, std::uint32_t gap, std::uint32_t shared) const {
    // Nothing can be in common, or the unshared bits weigh nothing: the
    // score is x / x = 1, or RDKit's 1.0 for a zero denominator.
    if (gap == 0 || weight == 0.0) return margin_;
    if (shared == 0) return 0.0;  // x = 0 over a positive denominator
    const double ratio = weight * static_cast<double>(gap) / static_cast<double>(shared);
    return 1.0 / (1.0 + ratio) * margin_;
  }

  double alpha_;
  double beta_;
  double rest_;  // 1 - alpha - beta, rounded as RDKit rounds it
  double margin_;
};

// The larger of a pair's two directions, for a set searched against
// itself where each pair is met once (by its smaller row) but listed under
// both rows.  A symmetric metric is its own.
template <class Metric>
struct EitherDirection {
  static constexpr bool rounds_monotonically = false;
  Metric metric;

  // b weighs the query's own bits in the second direction: the same
  // argument holds for it.
  bool falls_with_target_count() const { return metric.falls_with_target_count(); }

  double score(std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
    return std::max(metric.score(a, b, c), metric.score(b, a, c));
  }
  // Both bounds peak at b = a and are monotone on either side, so their
  // maximum is too.
  double upper_bound(std::uint32_t a, std::uint32_t b) const {
    return std::max(metric.upper_bound(a, b), metric.upper_bound(b, a));
  }
};

template <class Metric>
auto either_direction(const Metric& metric) {
  if constexpr (Metric::symmetric) {
    return metric;
  } else {
    return EitherDirection<Metric>{metric};
  }
}

}  // namespace quarnel::engine
