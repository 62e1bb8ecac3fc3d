// The pruning window must never leave out a row that could beat the
// threshold: checked against the exact bound for every pair of small counts.

#include <gtest/gtest.h>

#include <cstdint>

#include "engine/score_bound.hpp"

namespace quarnel::engine {
namespace {

TEST(CountWindow, HoldsExactlyTheCountsWhoseBoundBeatsTheThreshold) {
  for (std::uint32_t a = 0; a <= 70; ++a) {
    for (double threshold : {0.0, 0.1, 1.0 / 3.0, 0.5, 0.75, 0.9999, 1.0}) {
      const CountWindow window = CountWindow::beating(a, threshold);
      for (std::uint32_t b = 0; b <= 300; ++b) {
        ASSERT_EQ(window.contains(b), best_possible_score(a, b) > threshold)
            << "a=" << a << " b=" << b << " threshold=" << threshold;
      }
    }
  }
}

TEST(CountWindow, BoundIsNeverBelowARealScore) {
  for (std::uint32_t a = 0; a <= 40; ++a) {
    for (std::uint32_t b = 0; b <= 40; ++b) {
      for (std::uint32_t c = 0; c <= std::min(a, b); ++c)
        ASSERT_LE(tanimoto_score(a, b, c), best_possible_score(a, b));
    }
  }
}

TEST(CountWindow, ReachesTheLargestCounts) {
  const CountWindow window = CountWindow::beating(UINT32_MAX, 0.5);
  EXPECT_TRUE(window.contains(UINT32_MAX));
  EXPECT_FALSE(window.contains(UINT32_MAX / 2));
}

}  // namespace
}  // namespace quarnel::engine
