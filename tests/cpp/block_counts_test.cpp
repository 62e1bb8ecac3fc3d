// Counts made by whichever scan meets a block first: every caller gets the
// right counts, whether it counted the block, found it counted, or met it
// while another thread was counting it.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "engine/block_counts.hpp"
#include "engine/kernel/kernel_table.hpp"

namespace quarnel::engine {
namespace {

TEST(BlockCounts, EveryCallerSeesTheRowCountsWhileThreadsRace) {
  constexpr std::uint64_t n_words = 5, n_rows = 1000, block = 16;
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> words(n_rows * n_words);
  for (auto& word : words) word = rng() & rng();
  std::vector<std::uint32_t> expected(n_rows);
  for (std::uint64_t r = 0; r < n_rows; ++r) {
    for (std::uint64_t w = 0; w < n_words; ++w) expected[r] += std::popcount(words[r * n_words + w]);
  }
  auto counts = BlockCounts::create(words.data(), n_rows, n_words, block);
  ASSERT_TRUE(counts);
  const kernel::KernelTable& kernel = kernel::kernel_for_width(n_words);

  std::vector<int> failures(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::uint32_t> spare(block);
      for (int pass = 0; pass < 3; ++pass) {
        for (std::uint64_t first = 0; first < n_rows; first += block) {
          const std::uint64_t last = std::min(first + block, n_rows);
          const std::uint32_t* got = counts->counts_for(first, last, kernel, spare.data());
          for (std::uint64_t r = first; r < last; ++r) failures[t] += got[r - first] != expected[r];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace quarnel::engine
