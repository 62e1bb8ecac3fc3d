// The AVX-512 backend for CPUs with VPOPCNTDQ: eight words are ANDed and
// counted per instruction, the per-lane counts summed at the end.  Widths
// that are not a multiple of eight words finish with a masked load.
#if defined(__x86_64__)

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/kernel/backends.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f,avx512vpopcntdq,popcnt")

namespace quarnel::engine::kernel::avx512 {

inline std::uint32_t popcount_word(std::uint64_t word) {
  return static_cast<std::uint32_t>(__builtin_popcountll(word));
}

template <std::size_t W>
inline std::uint32_t and_popcount_wide(const std::uint64_t* a, const std::uint64_t* b) {
  __m512i total = _mm512_setzero_si512();
  std::size_t w = 0;
  for (; w + 8 <= W; w += 8) {
    const __m512i x = _mm512_loadu_si512(a + w);
    const __m512i y = _mm512_loadu_si512(b + w);
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(_mm512_and_si512(x, y)));
  }
  if constexpr (W % 8 != 0) {
    const __mmask8 tail = static_cast<__mmask8>((1u << (W % 8)) - 1);
    const __m512i x = _mm512_maskz_loadu_epi64(tail, a + w);
    const __m512i y = _mm512_maskz_loadu_epi64(tail, b + w);
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(_mm512_and_si512(x, y)));
  }
  // Summed in registers: a store and eight loads per row cost more than
  // the counting at 1024 bits.  Masked extracts, because the plain ones
  // (and _mm512_reduce_add_epi64) trip GCC 12's -Wmaybe-uninitialized
  // inside its header.
  const __m256i quarter =
      _mm256_add_epi64(_mm512_mask_extracti64x4_epi64(_mm256_setzero_si256(), 0xff, total, 0),
                       _mm512_mask_extracti64x4_epi64(_mm256_setzero_si256(), 0xff, total, 1));
  const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(quarter), _mm256_extracti128_si256(quarter, 1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
}

// Four rows at a time, W a multiple of eight.  The query's words are
// loaded into registers once a call: a 512-bit load is two load operations
// on this class of CPU, and loading both sides for every row made the loads
// the limit.  The four per-lane totals are summed together, in a few
// shuffles, where summing each alone cost more than its counting at 2048
// bits.
template <std::size_t W>
class FourRowCounter {
 public:
  explicit FourRowCounter(const std::uint64_t* query) {
    for (std::size_t v = 0; v < W / 8; ++v) query_[v] = _mm512_loadu_si512(query + 8 * v);
  }

  void operator()(const std::uint64_t* const rows[4], std::uint32_t* out) const {
    __m512i total[4];
    // Row by row, each row's words in order: the hardware prefetchers follow
    // one stream at a time (words across the four rows at once ran at under
    // half the speed from memory at 4096 bits).
    for (int r = 0; r < 4; ++r) {
      total[r] = _mm512_setzero_si512();
      for (std::size_t v = 0; v < W / 8; ++v) {
        const __m512i x = _mm512_and_si512(query_[v], _mm512_loadu_si512(rows[r] + 8 * v));
        total[r] = _mm512_add_epi64(total[r], _mm512_popcnt_epi64(x));
      }
    }
    // Masked forms throughout: the plain ones trip GCC 12 as above.
    // Per 128-bit lane k: {row0 lane-k pair sum, row1 ...} and {row2, row3}.
    const __m512i s01 = _mm512_add_epi64(_mm512_maskz_unpacklo_epi64(0xff, total[0], total[1]),
                                         _mm512_maskz_unpackhi_epi64(0xff, total[0], total[1]));
    const __m512i s23 = _mm512_add_epi64(_mm512_maskz_unpacklo_epi64(0xff, total[2], total[3]),
                                         _mm512_maskz_unpackhi_epi64(0xff, total[2], total[3]));
    // Lanes {s01 0+1, s01 2+3, s23 0+1, s23 2+3}, then each pair of lanes summed.
    const __m512i u = _mm512_add_epi64(_mm512_maskz_shuffle_i64x2(0xff, s01, s23, 0x88),
                                       _mm512_maskz_shuffle_i64x2(0xff, s01, s23, 0xdd));
    const __m512i v = _mm512_add_epi64(u, _mm512_maskz_shuffle_i64x2(0xff, u, u, 0xb1));
    // Words 0, 1, 4, 5 hold rows 0..3.
    const __m512i sums = _mm512_maskz_permutexvar_epi64(0xff, _mm512_set_epi64(5, 4, 1, 0, 5, 4, 1, 0), v);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm256_castsi256_si128(_mm512_maskz_cvtepi64_epi32(0xff, sums)));
  }

 private:
  __m512i query_[W / 8];
};

#define QUARNEL_HAVE_WIDE_AND_POPCOUNT
#define QUARNEL_HAVE_FOUR_ROW_COUNTER
#include "engine/kernel/and_count_generic.inc"
#undef QUARNEL_HAVE_WIDE_AND_POPCOUNT
#undef QUARNEL_HAVE_FOUR_ROW_COUNTER

}  // namespace quarnel::engine::kernel::avx512

#pragma GCC pop_options

namespace quarnel::engine::kernel {

const KernelTable avx512_kernel{"avx512", &avx512::count_rows, &avx512::and_count_rows,
                                &avx512::and_count_picked};

}  // namespace quarnel::engine::kernel

#endif
