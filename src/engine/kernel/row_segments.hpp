#pragma once
// A row cut into 16 segments of whole words, each segment's set bits in one
// byte.  Two rows have no more bits in common than the sum, over segments,
// of the smaller of their two counts there: on sparse fingerprints a far
// tighter bound than the smaller of their totals, read from 16 bytes
// instead of the whole row.

#include <cstddef>
#include <cstdint>

namespace quarnel::engine::kernel {

inline constexpr std::size_t row_segments = 16;

// Segments of up to 3 words keep every count (at most 192) within a byte.
inline constexpr std::uint64_t max_segment_words = 3;

constexpr std::uint64_t segment_words(std::uint64_t n_words) {
  return (n_words + row_segments - 1) / row_segments;
}

// Rows up to 3,072 bits have segment counts; wider ones are pruned by
// their totals alone.
constexpr bool has_segments(std::uint64_t n_words) {
  return n_words > 0 && segment_words(n_words) <= max_segment_words;
}

}  // namespace quarnel::engine::kernel
