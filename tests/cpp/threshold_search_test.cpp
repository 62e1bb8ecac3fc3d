// The threshold engine on many workers, for the thread sanitizer's sake
// (scripts/ci_tsan.sh runs these tests; the Python tests cover the results
// in detail): the rows' hit lists, the shared budget and the assembly must
// give every thread count the same answer, that of a plain double loop.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/metric_policies.hpp"
#include "engine/threshold_search.hpp"

namespace quarnel::engine {
namespace {

constexpr std::uint64_t n_words = 2;

struct Csr {
  std::vector<std::int64_t> indptr;
  std::vector<std::uint32_t> indices;
  std::vector<double> scores;
  bool operator==(const Csr&) const = default;
};

Csr copy_of(const CsrOutput& output) {
  const auto* indptr = output.indptr.data.data();
  const auto* indices = output.indices.data.data();
  const auto* scores = output.scores.data.data();
  return Csr{{indptr, indptr + output.indptr.data.size()},
             {indices, indices + output.indices.data.size()},
             {scores, scores + output.scores.data.size()}};
}

std::uint32_t bits(std::uint64_t word) { return static_cast<std::uint32_t>(__builtin_popcountll(word)); }

// Every pair in order; the set against itself leaves out the diagonal.
Csr brute_force(const std::vector<std::uint64_t>& rows, std::size_t n_queries, double threshold,
                bool internal) {
  const std::size_t n = rows.size() / n_words;
  Csr out{{0}, {}, {}};
  for (std::size_t i = 0; i < n_queries; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      if (internal && i == j) continue;
      std::uint32_t a = 0, b = 0, c = 0;
      for (std::size_t w = 0; w < n_words; ++w) {
        a += bits(rows[i * n_words + w]);
        b += bits(rows[j * n_words + w]);
        c += bits(rows[i * n_words + w] & rows[j * n_words + w]);
      }
      const double score = TanimotoMetric{}.score(a, b, c);
      if (score < threshold) continue;
      out.indices.push_back(static_cast<std::uint32_t>(j));
      out.scores.push_back(score);
    }
    out.indptr.push_back(static_cast<std::int64_t>(out.indices.size()));
  }
  return out;
}

TEST(ThresholdSearch, EveryThreadCountGivesThePlainLoopsAnswer) {
  std::mt19937_64 random(11);
  std::vector<std::uint64_t> rows(600 * n_words);
  // Sparse words, so that counts differ and the bound prunes.
  for (auto& word : rows) word = random() & random() & random();
  const std::uint64_t n = rows.size() / n_words;
  const std::uint64_t n_queries = 70;
  for (double threshold : {0.0, 0.25, 0.5, 1.0}) {
    const Csr cross = brute_force(rows, n_queries, threshold, false);
    const Csr internal = brute_force(rows, n, threshold, true);
    for (std::int32_t n_threads : {1, 4, 16}) {
      auto got = cross_threshold(MetricChoice{}, threshold, RowView{rows.data(), n_queries, n_words},
                                 RowView{rows.data(), n, n_words}, n_threads);
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(copy_of(*got), cross) << "threshold " << threshold << ", " << n_threads << " threads";
      auto pairs = internal_threshold(MetricChoice{}, threshold, RowView{rows.data(), n, n_words}, n_threads);
      ASSERT_TRUE(pairs.has_value());
      EXPECT_EQ(copy_of(*pairs), internal) << "threshold " << threshold << ", " << n_threads << " threads";
    }
  }
}

}  // namespace
}  // namespace quarnel::engine
