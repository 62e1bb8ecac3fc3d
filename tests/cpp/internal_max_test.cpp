// Internal max on many workers, for the thread sanitizer's sake
// (scripts/ci_tsan.sh runs these tests; the Python tests cover the results
// against RDKit): the walks hand scores to each other's rows through a
// shared table, and every thread count must still give each row's maximum
// over the others, that of a plain double loop.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <variant>
#include <vector>

#include "engine/internal_search.hpp"
#include "engine/metric.hpp"
#include "engine/metric_policies.hpp"

namespace quarnel::engine {
namespace {

constexpr std::uint64_t n_words = 32;  // 2048 bits: segment counts and the count-ordered walk

std::uint32_t bits(std::uint64_t word) { return static_cast<std::uint32_t>(__builtin_popcountll(word)); }

template <class Metric>
std::vector<double> brute_force(const Metric& metric, const std::vector<std::uint64_t>& rows) {
  const std::size_t n = rows.size() / n_words;
  std::vector<double> best(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      if (i == j) continue;
      std::uint32_t a = 0, b = 0, c = 0;
      for (std::size_t w = 0; w < n_words; ++w) {
        a += bits(rows[i * n_words + w]);
        b += bits(rows[j * n_words + w]);
        c += bits(rows[i * n_words + w] & rows[j * n_words + w]);
      }
      best[i] = std::max(best[i], metric.score(a, b, c));
    }
  }
  return best;
}

TEST(InternalMax, EveryThreadCountGivesThePlainLoopsAnswer) {
  std::mt19937_64 random(5);
  // Sparse rows, and near copies of some of them with a bit or two flipped,
  // so that maxima range from low to 1.0 and the walks prune.
  const std::size_t n = 500;
  std::vector<std::uint64_t> rows(n * n_words);
  for (std::size_t r = 0; r < n; ++r) {
    if (r >= 300) {
      const std::size_t source = random() % 300;
      std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(source * n_words), n_words,
                  rows.begin() + static_cast<std::ptrdiff_t>(r * n_words));
      for (int flip = 0; flip < 1 + static_cast<int>(random() % 2); ++flip) {
        rows[r * n_words + random() % n_words] ^= std::uint64_t{1} << (random() % 64);
      }
    } else {
      for (std::size_t w = 0; w < n_words; ++w) rows[r * n_words + w] = random() & random() & random();
    }
  }
  const RowView view{rows.data(), n, n_words};
  const MetricChoice tanimoto{};
  const MetricChoice tversky{MetricKind::tversky, 0.7, 0.2};
  const std::vector<double> expected_tanimoto = brute_force(TanimotoMetric{}, rows);
  const std::vector<double> expected_tversky = brute_force(TverskyMetric(0.7, 0.2), rows);
  for (std::int32_t n_threads : {1, 4, 16}) {
    for (const auto& [choice, expected] :
         {std::pair{tanimoto, expected_tanimoto}, std::pair{tversky, expected_tversky}}) {
      auto got = internal_similarity(choice, AggregationMode::max, view, n_threads);
      ASSERT_TRUE(got.has_value());
      const auto& values = std::get<ArrayBuffer<double>>(*got);
      const std::vector<double> maxima(values.data.data(), values.data.data() + n);
      EXPECT_EQ(maxima, expected) << "metric " << static_cast<int>(choice.kind) << ", " << n_threads
                                  << " threads";
    }
  }
}

}  // namespace
}  // namespace quarnel::engine
