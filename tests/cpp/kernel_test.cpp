// Every backend this CPU can run must count exactly what the portable one
// counts, at the specialised widths, around them, and at W = 0.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "engine/kernel/kernel_table.hpp"
#include "engine/kernel/row_segments.hpp"
#include "engine/metric_policies.hpp"

namespace quarnel::engine::kernel {
namespace {

std::vector<std::uint64_t> random_rows(std::size_t n_rows, std::size_t n_words, std::mt19937_64& random) {
  std::vector<std::uint64_t> words(n_rows * n_words);
  for (auto& w : words) w = random() & random();  // sparse-ish, like fingerprints
  if (!words.empty()) words[0] = ~std::uint64_t{0};
  return words;
}

// Segment s holds words [s * per, (s + 1) * per) of a row, in order.
std::vector<std::uint8_t> segments_by_hand(const std::vector<std::uint64_t>& rows, std::size_t n_rows,
                                           std::size_t n_words) {
  std::vector<std::uint8_t> segments(n_rows * row_segments, 0);
  for (std::size_t r = 0; r < n_rows; ++r) {
    for (std::size_t w = 0; w < n_words; ++w) {
      segments[r * row_segments + w / segment_words(n_words)] +=
          static_cast<std::uint8_t>(std::popcount(rows[r * n_words + w]));
    }
  }
  return segments;
}

TEST(Kernels, PortableIsAlwaysRunnableAndFirst) {
  ASSERT_FALSE(runnable_kernels().empty());
  EXPECT_STREQ(runnable_kernels().front()->name, "portable");
  // The best table for the common 2048-bit width is the widest one.
  EXPECT_EQ(&kernel_for_width(32), runnable_kernels().back());
}

TEST(Kernels, EveryBackendCountsLikeThePortableOne) {
  const KernelTable& portable = *runnable_kernels().front();
  std::mt19937_64 random(11);
  for (std::size_t n_words : {0, 1, 2, 3, 4, 5, 8, 15, 16, 17, 31, 32, 33, 36, 48, 49, 63, 64, 65, 100}) {
    const std::size_t n_rows = 37;
    const auto rows = random_rows(n_rows, n_words, random);
    const auto query = random_rows(1, n_words, random);
    std::vector<std::uint32_t> picked;
    for (std::uint32_t r = 0; r < n_rows; r += 3) picked.push_back(r);

    std::vector<std::uint32_t> want_counts(n_rows), want_and(n_rows), want_picked(picked.size());
    portable.count_rows(rows.data(), n_rows, n_words, want_counts.data());
    portable.and_count_rows(query.data(), rows.data(), n_rows, n_words, want_and.data());
    portable.and_count_picked(query.data(), rows.data(), picked.data(), picked.size(), n_words,
                              want_picked.data());

    for (const KernelTable* backend : runnable_kernels()) {
      SCOPED_TRACE(std::string(backend->name) + " at " + std::to_string(n_words) + " words");
      std::vector<std::uint32_t> counts(n_rows), common(n_rows), some(picked.size());
      backend->count_rows(rows.data(), n_rows, n_words, counts.data());
      backend->and_count_rows(query.data(), rows.data(), n_rows, n_words, common.data());
      backend->and_count_picked(query.data(), rows.data(), picked.data(), picked.size(), n_words,
                                some.data());
      EXPECT_EQ(counts, want_counts);
      EXPECT_EQ(common, want_and);
      EXPECT_EQ(some, want_picked);
      if (has_segments(n_words)) {
        std::vector<std::uint8_t> segments(n_rows * row_segments, 0xee);
        std::fill(counts.begin(), counts.end(), 0);
        backend->count_segments(rows.data(), n_rows, n_words, counts.data(), segments.data());
        EXPECT_EQ(counts, want_counts);
        EXPECT_EQ(segments, segments_by_hand(rows, n_rows, n_words));
      }
    }
  }
}

TEST(Kernels, EveryBackendPicksTheWindowLikeThePortableOne) {
  const KernelTable& portable = *runnable_kernels().front();
  std::mt19937_64 random(12);
  for (std::size_t n : {0, 1, 15, 16, 17, 100, 2048}) {
    std::vector<std::uint32_t> counts(n);
    for (auto& c : counts) c = static_cast<std::uint32_t>(random() % 40);
    // A window at 0, an inner one, and one that wraps below 0 (span past
    // UINT32_MAX - lowest); skips inside, at the end and past it.
    for (auto [lowest, span] :
         {std::pair<std::uint32_t, std::uint32_t>{0, 3}, {10, 12}, {39, UINT32_MAX - 5}}) {
      for (std::size_t skip : {std::size_t{0}, n / 2, n}) {
        std::vector<std::uint32_t> want(n + 1), got(n + 1);
        const std::size_t n_want = portable.pick_in_window(counts.data(), n, lowest, span, skip, want.data());
        want.resize(n_want);
        for (const KernelTable* backend : runnable_kernels()) {
          const std::size_t n_got = backend->pick_in_window(counts.data(), n, lowest, span, skip, got.data());
          EXPECT_EQ(std::vector<std::uint32_t>(got.begin(), got.begin() + n_got), want)
              << backend->name << " n=" << n << " lowest=" << lowest << " skip=" << skip;
        }
      }
    }
  }
}

TEST(Kernels, EveryBackendPicksReachableRowsLikeThePortableOne) {
  const KernelTable& portable = *runnable_kernels().front();
  std::mt19937_64 random(13);
  std::vector<std::uint8_t> query(row_segments);
  for (auto& q : query) q = static_cast<std::uint8_t>(random() % 8);
  for (std::size_t n : {0, 5, 16, 37, 256}) {
    std::vector<std::uint32_t> counts(n);
    std::vector<std::uint8_t> segments(n * row_segments);
    for (auto& c : counts) c = static_cast<std::uint32_t>(random() % 90);
    for (auto& b : segments) b = static_cast<std::uint8_t>(random() % 8);
    // Tables the registers hold (up to 64 entries) and one they do not.
    for (std::uint32_t span : {0u, 20u, 63u, 80u}) {
      std::vector<std::uint32_t> needed(span + 1);
      for (auto& w : needed) w = static_cast<std::uint32_t>(random() % 40);
      for (std::size_t skip : {std::size_t{3}, n}) {
        std::vector<std::uint32_t> want(n + 1), got(n + 1);
        const std::size_t n_want = portable.pick_reachable(counts.data(), segments.data(), n, 5, span,
                                                           needed.data(), query.data(), skip, want.data());
        want.resize(n_want);
        for (const KernelTable* backend : runnable_kernels()) {
          const std::size_t n_got = backend->pick_reachable(counts.data(), segments.data(), n, 5, span,
                                                            needed.data(), query.data(), skip, got.data());
          EXPECT_EQ(std::vector<std::uint32_t>(got.begin(), got.begin() + n_got), want)
              << backend->name << " n=" << n << " span=" << span << " skip=" << skip;
        }
      }
    }
  }
}

TEST(Kernels, DenseRowsDoNotOverflowByteCounters) {
  // All ones: every byte counter of a vector backend sees its maximum, the
  // adders of the AVX2 loop their every carry.
  for (std::size_t n_words : {4, 16, 32, 64, 128}) {
    const std::vector<std::uint64_t> ones(n_words, ~std::uint64_t{0});
    for (const KernelTable* backend : runnable_kernels()) {
      std::uint32_t common = 0;
      backend->and_count_rows(ones.data(), ones.data(), 1, n_words, &common);
      EXPECT_EQ(common, 64 * n_words) << backend->name;
    }
  }
}

// Each backend's score loop against the metric's own score, over one
// query count and the rows' (count, common) pairs.
template <class Metric>
void expect_scores_as_metric(const char* metric_name, ScoreLoop KernelTable::*loop, std::uint32_t query,
                             const std::vector<std::uint32_t>& counts,
                             const std::vector<std::uint32_t>& common) {
  for (const KernelTable* backend : runnable_kernels()) {
    std::vector<double> scores(counts.size());
    (backend->*loop)(query, counts.data(), common.data(), counts.size(), scores.data());
    for (std::size_t t = 0; t < counts.size(); ++t) {
      EXPECT_EQ(scores[t], Metric{}.score(query, counts[t], common[t]))
          << backend->name << " " << metric_name << " query " << query << " row " << t;
    }
  }
}

TEST(Kernels, EveryBackendScoresAsTheMetricsDo) {
  // Empty pairs, disjoint and equal rows, and counts whose sum wraps 32 bits
  // while their union does not; 37 pairs, so vector loops leave a tail.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> rows = {
      {0, 0}, {5, 0}, {5, 5}, {1, 1}, {2048, 700}, {4294967295u, 4294967295u}, {4294967295u, 1}};
  std::mt19937_64 random(11);
  while (rows.size() < 37) {
    const auto b = static_cast<std::uint32_t>(random() % 3000);
    rows.emplace_back(b, static_cast<std::uint32_t>(random() % (b + 1)));
  }
  for (std::uint32_t query : {0u, 1u, 700u, 4294967295u}) {
    std::vector<std::uint32_t> counts, common;
    for (auto [b, c] : rows) {
      // No union outgrows the widest row, 2^32 - 1 bits.
      const std::uint64_t sum = std::uint64_t{query} + b;
      const auto least = static_cast<std::uint32_t>(sum > UINT32_MAX ? sum - UINT32_MAX : 0);
      counts.push_back(b);
      common.push_back(std::max(std::min({b, c, query}), least));
    }
    expect_scores_as_metric<TanimotoMetric>("tanimoto", &KernelTable::tanimoto_scores, query, counts, common);
    expect_scores_as_metric<DiceMetric>("dice", &KernelTable::dice_scores, query, counts, common);
    expect_scores_as_metric<CosineMetric>("cosine", &KernelTable::cosine_scores, query, counts, common);
    // RDKit's example weights, Dice's and Tanimoto's, weights that leave
    // every denominator 0 (1.0 each), and weights above 1.
    for (auto [alpha, beta] :
         {std::pair{0.7, 0.3}, {0.5, 0.5}, {1.0, 1.0}, {0.0, 0.0}, {0.1, 0.0}, {2.5, 1.5}}) {
      const TverskyMetric metric(alpha, beta);
      for (const KernelTable* backend : runnable_kernels()) {
        std::vector<double> scores(counts.size());
        backend->tversky_scores(metric.alpha(), metric.beta(), metric.rest(), query, counts.data(),
                                common.data(), counts.size(), scores.data());
        for (std::size_t t = 0; t < counts.size(); ++t) {
          EXPECT_EQ(scores[t], metric.score(query, counts[t], common[t]))
              << backend->name << " tversky " << alpha << "," << beta << " query " << query << " row " << t;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quarnel::engine::kernel
