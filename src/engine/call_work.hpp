#pragma once
// The work of an engine call, reckoned from the set sizes alone: the words
// of the row pairs it may compare.  It decides where a call runs
// (WorkerPool::for_call); UINT64_MAX where the product does not fit.

#include <cstdint>

namespace quarnel::engine {

inline std::uint64_t saturated_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// Every query row against every database row.
inline std::uint64_t cross_pair_words(std::uint64_t n_queries, std::uint64_t n_db, std::uint64_t n_words) {
  return saturated_product(saturated_product(n_queries, n_db), n_words);
}

// Every pair of rows of one set, each once.
inline std::uint64_t internal_pair_words(std::uint64_t n_rows, std::uint64_t n_words) {
  const std::uint64_t pairs = n_rows % 2 == 0 ? saturated_product(n_rows / 2, n_rows == 0 ? 0 : n_rows - 1)
                                              : saturated_product(n_rows, (n_rows - 1) / 2);
  return saturated_product(pairs, n_words);
}

}  // namespace quarnel::engine
