#pragma once
// Every query row against every database row: the full matrix, a per-query
// mean/max/min, or the per-query top k.

#include <cstdint>

#include "common/result.hpp"
#include "engine/engine_output.hpp"

namespace quarnel::engine {

// Callers guarantee n_queries >= 1, n_db >= 1, equal bit lengths,
// queries_len == n_queries * n_words and db_len == n_db * n_words.
// index_offset is added to database row numbers in top-k indices.
Result<EngineOutput> cross_tanimoto(std::uint64_t mode, std::uint64_t k, std::uint64_t n_words,
                                    std::uint64_t n_queries, std::uint64_t n_db, const std::uint64_t* queries,
                                    std::uint64_t queries_len, const std::uint64_t* db, std::uint64_t db_len,
                                    std::int32_t n_threads, std::uint64_t index_offset);

}  // namespace quarnel::engine
