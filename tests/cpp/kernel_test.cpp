// Every backend this CPU can run must count exactly what the portable one
// counts, at the specialised widths, around them, and at W = 0.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/kernel/kernel_table.hpp"

namespace quarnel::engine::kernel {
namespace {

std::vector<std::uint64_t> random_rows(std::size_t n_rows, std::size_t n_words, std::mt19937_64& random) {
  std::vector<std::uint64_t> words(n_rows * n_words);
  for (auto& w : words) w = random() & random();  // sparse-ish, like fingerprints
  if (!words.empty()) words[0] = ~std::uint64_t{0};
  return words;
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
  for (std::size_t n_words : {0, 1, 2, 3, 4, 5, 8, 15, 16, 17, 31, 32, 33, 36, 63, 64, 65, 100}) {
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

}  // namespace
}  // namespace quarnel::engine::kernel
