#pragma once
// Threshold search: for every row, the rows of the other set (or of the
// same set, itself left out) whose score reaches a threshold, with their
// scores, as rows of different lengths laid end to end.

#include <cstdint>

#include "common/result.hpp"
#include "engine/engine_output.hpp"

namespace quarnel::engine {

// Callers guarantee 0 <= threshold <= 1, n_queries >= 1, 1 <= n_db < 2^32,
// equal bit lengths, queries_len == n_queries * n_words and
// db_len == n_db * n_words.  Row i of the result lists, in increasing order,
// every database row j with score >= threshold, as j + index_offset.
Result<CsrOutput> cross_threshold(double threshold, std::uint64_t n_words, std::uint64_t n_queries,
                                  std::uint64_t n_db, const std::uint64_t* queries, std::uint64_t queries_len,
                                  const std::uint64_t* db, std::uint64_t db_len, std::int32_t n_threads,
                                  std::uint64_t index_offset);

// Callers guarantee 0 <= threshold <= 1, 1 <= n_fps < 2^32 and
// words_len == n_fps * n_words.  Row i lists every j != i with
// score >= threshold, in increasing order; each pair appears in both rows.
Result<CsrOutput> internal_threshold(double threshold, std::uint64_t n_words, std::uint64_t n_fps,
                                     const std::uint64_t* words, std::uint64_t words_len,
                                     std::int32_t n_threads);

}  // namespace quarnel::engine
