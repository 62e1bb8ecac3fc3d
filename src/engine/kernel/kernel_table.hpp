#pragma once
// The population-count kernels every driver scores with, one table per
// instruction set.  Counts are exact integers, so every table gives the
// same scores; the fastest one for the width among those the CPU and the
// operating system support is chosen.

#include <cstddef>
#include <cstdint>
#include <span>

namespace quarnel::engine::kernel {

// Scores n pairs of one query against rows, from their bit counts.
using ScoreLoop = void (*)(std::uint32_t query_count, const std::uint32_t* counts,
                           const std::uint32_t* common, std::size_t n, double* out);

struct KernelTable {
  const char* name;
  // out[r] = set bits of row r, for n_rows rows of n_words words.
  void (*count_rows)(const std::uint64_t* rows, std::size_t n_rows, std::size_t n_words, std::uint32_t* out);
  // counts[r] = set bits of row r, and segments[r * row_segments + s] = set
  // bits of its segment s (row_segments.hpp); only where has_segments(n_words).
  void (*count_segments)(const std::uint64_t* rows, std::size_t n_rows, std::size_t n_words,
                         std::uint32_t* counts, std::uint8_t* segments);
  // Lists in `picked` the positions t < n, other than `skip`, whose count
  // lies in [lowest, lowest + span], in increasing order; returns how many.
  // `picked` has room for n.
  std::size_t (*pick_in_window)(const std::uint32_t* counts, std::size_t n, std::uint32_t lowest,
                                std::uint32_t span, std::size_t skip, std::uint32_t* picked);
  // Lists in `picked` the positions t < n, other than `skip`, whose count
  // c lies in [lowest, lowest + span] and whose bound on the bits in common
  // with the query (the sum over segments of the smaller of query_segments[s]
  // and segments[t * row_segments + s]) is at least needed[c - lowest]; in
  // increasing order; returns how many.  `picked` has room for n.
  std::size_t (*pick_reachable)(const std::uint32_t* counts, const std::uint8_t* segments, std::size_t n,
                                std::uint32_t lowest, std::uint32_t span, const std::uint32_t* needed,
                                const std::uint8_t* query_segments, std::size_t skip, std::uint32_t* picked);
  // out[r] = set bits of (query AND row r), rows contiguous.
  void (*and_count_rows)(const std::uint64_t* query, const std::uint64_t* rows, std::size_t n_rows,
                         std::size_t n_words, std::uint32_t* out);
  // out[t] = set bits of (query AND row picked[t]), rows counted from `rows`.
  void (*and_count_picked)(const std::uint64_t* query, const std::uint64_t* rows, const std::uint32_t* picked,
                           std::size_t n_picked, std::size_t n_words, std::uint32_t* out);
  // out[t] = the score of a query of query_count bits and a row of
  // counts[t] bits with common[t] in common, as TanimotoMetric, DiceMetric
  // and CosineMetric score it.
  ScoreLoop tanimoto_scores;
  ScoreLoop dice_scores;
  ScoreLoop cosine_scores;
  // The same for TverskyMetric of these weights, rest = 1 - alpha - beta
  // as it rounds it.
  void (*tversky_scores)(double alpha, double beta, double rest, std::uint32_t query_count,
                         const std::uint32_t* counts, const std::uint32_t* common, std::size_t n,
                         double* out);
};

// The table to count rows of `n_words` words with: the fastest for this
// width among the runnable ones, or among those up to the one that
// QUARNEL_KERNEL names (read once; for benchmarks).
const KernelTable& kernel_for_width(std::uint64_t n_words);

// Every table this machine can run, the portable one first; for tests that
// hold each backend against the portable one.
std::span<const KernelTable* const> runnable_kernels();

}  // namespace quarnel::engine::kernel
