#pragma once
// One set against itself: the condensed upper triangle of pair scores, or a
// per-row mean/max/min over all other rows.

#include <cstdint>

#include "common/result.hpp"
#include "engine/engine_output.hpp"

namespace quarnel::engine {

// Callers guarantee n_fps >= 1 and words_len == n_fps * n_words.
Result<EngineOutput> internal_tanimoto(std::uint64_t mode, std::uint64_t n_words, std::uint64_t n_fps,
                                       const std::uint64_t* words, std::uint64_t words_len,
                                       std::int32_t n_threads);

}  // namespace quarnel::engine
