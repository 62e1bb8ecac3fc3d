// The AVX2 backend: widths that are a multiple of four words are counted 256
// bits at a time with the nibble lookup (vpshufb) and summed per 64-bit lane
// with vpsadbw; other widths, and the odd words, use POPCNT.
#if defined(__x86_64__)

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/kernel/backends.hpp"

#pragma GCC push_options
#pragma GCC target("avx2,popcnt")

namespace quarnel::engine::kernel::avx2 {

inline std::uint32_t popcount_word(std::uint64_t word) {
  return static_cast<std::uint32_t>(__builtin_popcountll(word));
}

// Per-byte counts of a 256-bit vector, each byte at most 8.
inline __m256i popcount_bytes(__m256i v) {
  const __m256i lookup = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2,
                                          3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low_mask = _mm256_set1_epi8(0x0f);
  const __m256i low = _mm256_and_si256(v, low_mask);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), low_mask);
  return _mm256_add_epi8(_mm256_shuffle_epi8(lookup, low), _mm256_shuffle_epi8(lookup, high));
}

// Byte counts are summed over at most 8 vectors (8 * 8 = 64 < 256) before
// they are widened, so no byte can overflow.
template <std::size_t W>
inline std::uint32_t and_popcount_wide(const std::uint64_t* a, const std::uint64_t* b) {
  constexpr std::size_t vectors = W / 4;
  __m256i total = _mm256_setzero_si256();
  for (std::size_t base = 0; base < vectors; base += 8) {
    __m256i bytes = _mm256_setzero_si256();
    const std::size_t end = base + 8 < vectors ? base + 8 : vectors;
    for (std::size_t v = base; v < end; ++v) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 4 * v));
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 4 * v));
      bytes = _mm256_add_epi8(bytes, popcount_bytes(_mm256_and_si256(x, y)));
    }
    total = _mm256_add_epi64(total, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
  }
  const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
}

#define QUARNEL_HAVE_WIDE_AND_POPCOUNT
#include "engine/kernel/and_count_generic.inc"
#undef QUARNEL_HAVE_WIDE_AND_POPCOUNT

}  // namespace quarnel::engine::kernel::avx2

#pragma GCC pop_options

namespace quarnel::engine::kernel {

// The compile-time widths of and_count_generic.inc that are whole vectors.
bool avx2_has_vector_loop(std::uint64_t n_words) { return n_words == 16 || n_words == 32 || n_words == 64; }

const KernelTable avx2_kernel{"avx2", &avx2::count_rows, &avx2::and_count_rows, &avx2::and_count_picked};

}  // namespace quarnel::engine::kernel

#endif
