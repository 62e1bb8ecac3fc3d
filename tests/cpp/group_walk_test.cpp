// The walk over rows grouped by count: its runs come best possible score
// first and cover every row once, it stops at the first run that cannot
// reach the floor and never before a row that can, and the top-k search
// built on it keeps exactly the rows a plain loop keeps, ties going to the
// lower row, on any number of workers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <variant>
#include <vector>

#include "engine/arena/group_walk.hpp"
#include "engine/arena/lane_topk.hpp"
#include "engine/arena/prepared_rows.hpp"
#include "engine/metric.hpp"
#include "engine/metric_policies.hpp"

namespace quarnel::engine::arena {
namespace {

std::uint32_t bits(std::uint64_t word) { return static_cast<std::uint32_t>(__builtin_popcountll(word)); }

// Sorted counts with long runs of equal values and gaps, as real groups.
std::vector<std::uint32_t> sorted_counts(std::mt19937_64& random, std::size_t n) {
  std::vector<std::uint32_t> counts(n);
  for (auto& count : counts) count = static_cast<std::uint32_t>(random() % 40) * (random() % 3 == 0 ? 3 : 1);
  std::sort(counts.begin(), counts.end());
  return counts;
}

template <class Metric>
void check_walk(const Metric& metric, const std::vector<std::uint32_t>& counts, std::uint32_t a,
                double floor) {
  const std::uint64_t middle =
      static_cast<std::uint64_t>(std::lower_bound(counts.begin(), counts.end(), a) - counts.begin());
  GroupWalk<Metric> walk(metric, a, counts.data(), counts.size(), middle, 7);
  std::vector<int> given(counts.size(), 0);
  double last = 2.0;
  WalkRun run{};
  while (walk.next(run, floor)) {
    EXPECT_GE(run.bound, floor);
    EXPECT_LE(run.bound, last) << "bounds must not rise along the walk";
    last = run.bound;
    for (std::uint64_t p = run.first; p < run.first + run.n_rows; ++p) {
      ++given[p];
      EXPECT_LE(metric.upper_bound(a, counts[p]), run.bound) << "position " << p;
    }
  }
  for (std::size_t p = 0; p < counts.size(); ++p) {
    EXPECT_LE(given[p], 1) << "position " << p << " given twice";
    // Every row that can reach the floor was given before the walk stopped.
    if (metric.upper_bound(a, counts[p]) >= floor) {
      EXPECT_EQ(given[p], 1) << "position " << p;
    }
  }
}

TEST(GroupWalk, RunsComeBestFirstAndStopOnlyBelowTheFloor) {
  std::mt19937_64 random(3);
  const std::vector<std::uint32_t> counts = sorted_counts(random, 400);
  for (std::uint32_t a : {0u, 1u, 17u, 39u, 60u, 200u}) {
    for (double floor : {-1.0, 0.0, 0.3, 0.62, 1.0}) {
      check_walk(TanimotoMetric{}, counts, a, floor);
      check_walk(CosineMetric{}, counts, a, floor);
      check_walk(TverskyMetric(0.9, 0.1), counts, a, floor);
      check_walk(TverskyMetric(1.6, 0.4), counts, a, floor);
    }
  }
}

TEST(GroupWalk, AnEmptyWalkGivesNothing) {
  GroupWalk<TanimotoMetric> walk(TanimotoMetric{}, 3, nullptr, 0, 0, 16);
  WalkRun run{};
  EXPECT_FALSE(walk.next(run));
}

constexpr std::uint64_t n_words = 32;  // 2048 bits: segment counts and their pruning

struct TopK {
  std::vector<std::uint32_t> indices;
  std::vector<double> scores;
  bool operator==(const TopK&) const = default;
};

// Every pair, sorted by score, then row.
template <class Metric>
TopK brute_force(const Metric& metric, const std::vector<std::uint64_t>& rows, std::size_t query,
                 std::size_t k) {
  const std::size_t n = rows.size() / n_words;
  std::vector<std::pair<double, std::uint32_t>> all;
  for (std::size_t j = 0; j < n; ++j) {
    std::uint32_t a = 0, b = 0, c = 0;
    for (std::size_t w = 0; w < n_words; ++w) {
      a += bits(rows[query * n_words + w]);
      b += bits(rows[j * n_words + w]);
      c += bits(rows[query * n_words + w] & rows[j * n_words + w]);
    }
    all.emplace_back(metric.score(a, b, c), static_cast<std::uint32_t>(j));
  }
  std::sort(all.begin(), all.end(), [](const auto& x, const auto& y) {
    return x.first != y.first ? x.first > y.first : x.second < y.second;
  });
  TopK out;
  for (std::size_t m = 0; m < std::min(k, n); ++m) {
    out.indices.push_back(all[m].second);
    out.scores.push_back(all[m].first);
  }
  return out;
}

TEST(LaneTopK, EveryThreadCountKeepsThePlainLoopsRows) {
  std::mt19937_64 random(8);
  // Sparse rows, many of them copied exactly (ties at the k-th place) or
  // with a bit flipped, and a few empty ones.
  const std::size_t n = 600;
  std::vector<std::uint64_t> rows(n * n_words);
  for (std::size_t r = 0; r < n; ++r) {
    std::uint64_t* row = rows.data() + r * n_words;
    if (r % 50 == 49) continue;
    if (r >= 200) {
      std::copy_n(rows.data() + (random() % 200) * n_words, n_words, row);
      if (random() % 2 == 0) row[random() % n_words] ^= std::uint64_t{1} << (random() % 64);
      continue;
    }
    for (std::size_t w = 0; w < n_words; ++w) row[w] = random() & random() & random() & random();
  }
  const RowView view{rows.data(), n, n_words, 0};
  // Grouped, a query walks the groups; not, its lanes read rows in order.
  for (bool group : {true, false}) {
    auto prepared = prepare_rows(view, 2048, group, 2);
    ASSERT_TRUE(prepared.has_value());
    const MetricChoice choices[] = {MetricChoice{}, MetricChoice{MetricKind::dice},
                                    MetricChoice{MetricKind::tversky, 0.3, 1.5}};
    for (const MetricChoice& choice : choices) {
      for (std::size_t k : {1, 7, 250, 605}) {
        for (std::uint64_t n_queries : {1, 5}) {
          for (std::int32_t n_threads : {1, 3}) {
            const RowView queries{rows.data() + 196 * n_words, n_queries, n_words, 0};
            auto got = lane_topk(choice, k, queries, *prepared, DbWindow{0, n}, n_threads);
            ASSERT_TRUE(got.has_value());
            const auto& output = std::get<TopKOutput>(*got);
            const std::size_t kept = std::min(k, n);
            for (std::uint64_t q = 0; q < n_queries; ++q) {
              const TopK expected = with_metric(
                  choice, [&](const auto& metric) { return brute_force(metric, rows, 196 + q, k); });
              const TopK found{
                  {output.indices.data.data() + q * kept, output.indices.data.data() + (q + 1) * kept},
                  {output.scores.data.data() + q * kept, output.scores.data.data() + (q + 1) * kept}};
              EXPECT_EQ(found, expected) << (group ? "grouped" : "in order") << ", k " << k << ", query " << q
                                         << ", " << n_threads << " threads";
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace quarnel::engine::arena
