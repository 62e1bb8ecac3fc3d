// Threshold search of a prepared database on many workers, for the thread
// sanitizer's sake (the Python tests cover every metric and source): the
// lanes' hit lists, renumbered from count order or joined in row order,
// must give the row-order search's answer on every thread count.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/arena/prepared_rows.hpp"
#include "engine/arena/range_threshold.hpp"
#include "engine/threshold_search.hpp"

namespace quarnel::engine::arena {
namespace {

constexpr std::uint64_t n_words = 4;

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

TEST(RangeThreshold, EveryLayoutAndThreadCountGivesTheRowOrderAnswer) {
  std::mt19937_64 random(13);
  std::vector<std::uint64_t> rows(900 * n_words);
  for (auto& word : rows) word = random() & random() & random();
  for (std::size_t r = 300; r < 900; r += 3)
    std::copy_n(rows.begin() + (r % 97) * n_words, n_words, rows.begin() + r * n_words);
  const std::uint64_t n = rows.size() / n_words;
  const RowView db{rows.data(), n, n_words, 0};
  for (bool group : {true, false}) {
    auto prepared = prepare_rows(db, 256, group, 3);
    ASSERT_TRUE(prepared.has_value());
    for (double threshold : {0.0, 0.3, 0.6, 1.0}) {
      for (std::uint64_t n_queries : {1, 6}) {
        const RowView queries{rows.data() + 290 * n_words, n_queries, n_words, 0};
        auto expected = cross_threshold(MetricChoice{}, threshold, queries, db, 1);
        ASSERT_TRUE(expected.has_value());
        for (std::int32_t n_threads : {1, 4, 16}) {
          auto got =
              range_threshold(MetricChoice{}, threshold, queries, *prepared, DbWindow{0, n}, n_threads);
          ASSERT_TRUE(got.has_value());
          EXPECT_EQ(copy_of(*got), copy_of(*expected))
              << (group ? "grouped" : "ungrouped") << ", threshold " << threshold << ", " << n_queries
              << " queries, " << n_threads << " threads";
        }
      }
    }
  }
}

}  // namespace
}  // namespace quarnel::engine::arena
