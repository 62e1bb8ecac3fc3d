// The bounds the pruning trusts: no achievable score above a metric's
// bound, and a window that never leaves out a count that could beat its
// threshold.  Checked for every pair of small counts, in every metric.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/metric.hpp"
#include "engine/score_bound.hpp"

namespace quarnel::engine {
namespace {

// Tversky weights as the package allows them: 0, RDKit's [0, 1] range,
// tiny ones (where RDKit's expression is flat to rounding) and large ones
// (where its denominator cancels).
const std::vector<MetricChoice> metrics = {
    {MetricKind::tanimoto},
    {MetricKind::dice},
    {MetricKind::cosine},
    {MetricKind::tversky, 1.0, 1.0},
    {MetricKind::tversky, 0.5, 0.5},
    {MetricKind::tversky, 0.0, 0.0},
    {MetricKind::tversky, 0.9, 0.1},
    {MetricKind::tversky, 0.0, 1.0},
    {MetricKind::tversky, 0.3, 0.0},
    {MetricKind::tversky, 0.7, 0.9},
    {MetricKind::tversky, 1e-13, 2e-13},
    {MetricKind::tversky, 5.0, 40.0},
};

std::string name_of(const MetricChoice& choice) {
  const char* names[] = {"tanimoto", "dice", "cosine", "tversky"};
  return std::string(names[static_cast<int>(choice.kind)]) + "(" + std::to_string(choice.alpha) + ", " +
         std::to_string(choice.beta) + ")";
}

TEST(MetricBound, IsNeverBelowAnAchievableScoreInEitherDirection) {
  for (const MetricChoice& choice : metrics) {
    with_metric(choice, [&](const auto& metric) {
      const auto both = either_direction(metric);
      for (std::uint32_t a = 0; a <= 60; ++a) {
        for (std::uint32_t b = 0; b <= 60; ++b) {
          for (std::uint32_t c = 0; c <= std::min(a, b); ++c) {
            ASSERT_LE(metric.score(a, b, c), metric.upper_bound(a, b))
                << name_of(choice) << " a=" << a << " b=" << b << " c=" << c;
            ASSERT_LE(metric.score(b, a, c), both.upper_bound(a, b)) << name_of(choice);
          }
        }
      }
    });
  }
}

TEST(MetricBound, RisesToTheQuerysCountAndFallsAfterIt) {
  for (const MetricChoice& choice : metrics) {
    with_metric(choice, [&](const auto& metric) {
      for (std::uint32_t a : {0u, 1u, 7u, 64u, 1000u, 100000u}) {
        for (std::uint32_t b = 0; b < a; ++b)
          ASSERT_LE(metric.upper_bound(a, b), metric.upper_bound(a, b + 1)) << name_of(choice) << " a=" << a;
        for (std::uint32_t b = a; b < a + 3000; ++b)
          ASSERT_GE(metric.upper_bound(a, b), metric.upper_bound(a, b + 1)) << name_of(choice) << " a=" << a;
      }
    });
  }
}

TEST(CountWindow, HoldsExactlyTheCountsWhoseBoundBeatsTheThreshold) {
  for (const MetricChoice& choice : metrics) {
    with_metric(choice, [&](const auto& metric) {
      for (std::uint32_t a = 0; a <= 70; ++a) {
        for (double threshold : {0.0, 0.1, 1.0 / 3.0, 0.5, 0.75, 0.9999, 1.0}) {
          const CountWindow window = CountWindow::beating(metric, a, threshold);
          for (std::uint32_t b = 0; b <= 300; ++b) {
            ASSERT_EQ(window.contains(b), metric.upper_bound(a, b) > threshold)
                << name_of(choice) << " a=" << a << " b=" << b << " threshold=" << threshold;
          }
        }
      }
    });
  }
}

TEST(CountWindow, ReachesTheLargestCounts) {
  const CountWindow window = CountWindow::beating(TanimotoMetric{}, UINT32_MAX, 0.5);
  EXPECT_TRUE(window.contains(UINT32_MAX));
  EXPECT_FALSE(window.contains(UINT32_MAX / 2));
}

}  // namespace
}  // namespace quarnel::engine
