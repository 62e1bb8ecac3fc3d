// The top-k heap keeps ties in the order its fixed sift rules give; these
// cases pin those rules down, since a generic priority queue would pass any
// test that looks only at the set of scores.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "engine/topk_heap.hpp"

namespace quarnel::engine {
namespace {

struct Ranked {
  std::vector<std::uint32_t> indices;
  std::vector<double> scores;
};

// Offers row order[m] at step m (rows in order unless `order` is given).
Ranked top_k(const std::vector<double>& scores, std::size_t k, TopKTies ties = TopKTies::heap_order,
             std::vector<std::uint32_t> order = {}) {
  const std::size_t kept = std::min(k, scores.size());
  std::vector<TopKEntry> storage(kept);
  TopKHeap heap(storage.data(), kept, ties);
  if (order.empty()) {
    order.resize(scores.size());
    for (std::size_t j = 0; j < scores.size(); ++j) order[j] = static_cast<std::uint32_t>(j);
  }
  for (const std::uint32_t j : order) heap.offer(scores[j], j);
  Ranked out{std::vector<std::uint32_t>(kept), std::vector<double>(kept)};
  heap.write_sorted(out.indices.data(), out.scores.data());
  return out;
}

TEST(TopKHeap, TiesComeOutInHeapOrder) {
  EXPECT_EQ(top_k({0.5, 0.5, 0.25}, 3).indices, (std::vector<std::uint32_t>{1, 0, 2}));
  EXPECT_EQ(top_k({0.5, 0.5, 0.25}, 2).indices, (std::vector<std::uint32_t>{0, 1}));
  const Ranked displaced = top_k({0.5, 0.5, 0.25, 1.0}, 3);
  EXPECT_EQ(displaced.indices, (std::vector<std::uint32_t>{3, 1, 0}));
  EXPECT_EQ(displaced.scores, (std::vector<double>{1.0, 0.5, 0.5}));
}

TEST(TopKHeap, EqualToMinimumStaysOut) {
  EXPECT_EQ(top_k({0.3, 0.3, 0.3, 0.3}, 1).indices, (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(top_k({0.1, 0.3, 0.3, 0.2}, 1).indices, (std::vector<std::uint32_t>{1}));
}

TEST(TopKHeap, ZeroCapacityKeepsNothing) { EXPECT_TRUE(top_k({0.9, 0.1}, 0).indices.empty()); }

TEST(TopKHeap, MoreRoomThanRowsKeepsEveryRowSorted) {
  const Ranked all = top_k({0.2, 0.9, 0.4}, 10);
  EXPECT_EQ(all.indices, (std::vector<std::uint32_t>{1, 2, 0}));
}

// Removing the minimum prefers the right child on equal scores and handles
// the lone-child case; a heap of several levels with many ties exercises
// both.  The expected order was worked out by hand from the sift rules.
TEST(TopKHeap, RemovalPrefersRightChildOnTies) {
  const Ranked out = top_k({0.5, 0.5, 0.5, 0.5, 0.5, 0.75, 0.25, 0.75}, 5);
  EXPECT_EQ(out.scores, (std::vector<double>{0.75, 0.75, 0.5, 0.5, 0.5}));
  EXPECT_EQ(out.indices, (std::vector<std::uint32_t>{5, 7, 4, 1, 3}));
}

TEST(TopKHeap, KeepsTheBestScoresOfRandomRows) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> level(0, 8);  // few distinct scores, many ties
  for (int round = 0; round < 200; ++round) {
    std::vector<double> scores(1 + random() % 60);
    for (double& s : scores) s = level(random) / 8.0;
    const std::size_t k = random() % 20;
    const Ranked out = top_k(scores, k);
    std::vector<double> expected = scores;
    std::sort(expected.begin(), expected.end(), std::greater<>());
    expected.resize(std::min(k, scores.size()));
    ASSERT_EQ(out.scores, expected);
    for (std::size_t m = 0; m < out.indices.size(); ++m) ASSERT_EQ(scores[out.indices[m]], out.scores[m]);
  }
}

// Rows deciding ties: exactly the first k of a stable sort by descending
// score, whatever order the rows arrive in.
TEST(TopKHeap, LowerRowWinsTiesInAnyArrivalOrder) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> level(0, 4);
  for (int round = 0; round < 300; ++round) {
    std::vector<double> scores(1 + random() % 60);
    for (double& s : scores) s = level(random) / 4.0;
    std::vector<std::uint32_t> expected(scores.size());
    for (std::size_t j = 0; j < scores.size(); ++j) expected[j] = static_cast<std::uint32_t>(j);
    std::stable_sort(expected.begin(), expected.end(),
                     [&](std::uint32_t x, std::uint32_t y) { return scores[x] > scores[y]; });
    std::vector<std::uint32_t> order = expected;
    std::shuffle(order.begin(), order.end(), random);
    const std::size_t k = 1 + random() % 20;
    expected.resize(std::min(k, scores.size()));
    ASSERT_EQ(top_k(scores, k, TopKTies::lower_row, order).indices, expected);
    ASSERT_EQ(top_k(scores, k, TopKTies::lower_row).indices, expected);
  }
}

}  // namespace
}  // namespace quarnel::engine
