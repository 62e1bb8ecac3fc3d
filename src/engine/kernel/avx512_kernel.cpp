// The AVX-512 backend for CPUs with VPOPCNTDQ: eight words are ANDed and
// counted per instruction, the per-lane counts summed at the end.  Widths
// that are not a multiple of eight words finish with a masked load.
#if defined(__x86_64__)

#include <immintrin.h>

#include <bit>
#include <cmath>
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
#define QUARNEL_HAVE_SEGMENT_COUNTER
#define QUARNEL_HAVE_WINDOW_PICKER
#define QUARNEL_HAVE_REACHABLE_PICKER
#include "engine/kernel/and_count_generic.inc"
#undef QUARNEL_HAVE_WIDE_AND_POPCOUNT
#undef QUARNEL_HAVE_FOUR_ROW_COUNTER
#undef QUARNEL_HAVE_SEGMENT_COUNTER
#undef QUARNEL_HAVE_WINDOW_PICKER
#undef QUARNEL_HAVE_REACHABLE_PICKER

// A count window tested sixteen positions a step, and the chosen positions
// appended to a list.
class WindowSteps {
 public:
  WindowSteps(std::uint32_t lowest, std::uint32_t span, std::size_t skip, std::size_t n)
      : low_(_mm512_set1_epi32(static_cast<int>(lowest))),
        width_(_mm512_set1_epi32(static_cast<int>(span))),
        // A skip past the end matches no position.
        left_out_(_mm512_set1_epi32(static_cast<int>(std::min(skip, n)))),
        positions_(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)) {}

  // Each present count less the window's lowest.
  __m512i offsets(const std::uint32_t* counts, __mmask16 present) const {
    return _mm512_sub_epi32(_mm512_maskz_loadu_epi32(present, counts), low_);
  }

  // The present positions of this step whose offset lies in the window.
  __mmask16 in_window(__m512i offset, __mmask16 present) const {
    return _mm512_mask_cmple_epu32_mask(present, offset, width_) &
           _mm512_cmpneq_epi32_mask(positions_, left_out_);
  }

  // Appends the chosen positions of this step, compressed in a register
  // and stored with a mask (a compressing store to memory is microcoded and
  // slow on some of these CPUs), and moves on to the next step.
  void append(__mmask16 chosen, std::uint32_t* picked, std::size_t& n_picked) {
    const unsigned n_chosen = static_cast<unsigned>(__builtin_popcount(chosen));
    _mm512_mask_storeu_epi32(picked + n_picked, static_cast<__mmask16>((1u << n_chosen) - 1),
                             _mm512_maskz_compress_epi32(chosen, positions_));
    n_picked += n_chosen;
    next();
  }

  void next() { positions_ = _mm512_add_epi32(positions_, _mm512_set1_epi32(16)); }

 private:
  __m512i low_;
  __m512i width_;
  __m512i left_out_;
  __m512i positions_;
};

inline __mmask16 first_lanes(std::size_t n) {
  return n >= 16 ? __mmask16{0xffff} : static_cast<__mmask16>((1u << n) - 1);
}

std::size_t pick_in_window(const std::uint32_t* counts, std::size_t n, std::uint32_t lowest,
                           std::uint32_t span, std::size_t skip, std::uint32_t* picked) {
  WindowSteps steps(lowest, span, skip, n);
  std::size_t n_picked = 0;
  for (std::size_t t = 0; t < n; t += 16) {
    const __mmask16 present = first_lanes(n - t);
    steps.append(steps.in_window(steps.offsets(counts + t, present), present), picked, n_picked);
  }
  return n_picked;
}

// Masked loads of up to four vectors of a row of n_words words.
inline __mmask8 vector_mask(std::size_t n_words, std::size_t v) {
  if (n_words >= 8 * (v + 1)) return 0xff;
  if (n_words <= 8 * v) return 0;
  return static_cast<__mmask8>((1u << (n_words - 8 * v)) - 1);
}

inline __m128i word_counts(const std::uint64_t* row, __mmask8 mask) {
  return _mm512_maskz_cvtepi64_epi8(0xff, _mm512_popcnt_epi64(_mm512_maskz_loadu_epi64(mask, row)));
}

// The sum of the 16 bytes, each at most 192.
inline std::uint32_t byte_total(__m128i bytes) {
  const __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
}

// Rows of up to 16 words: a segment is a word, and the words' counts,
// narrowed to bytes, are the segments.
void count_word_segments(const std::uint64_t* rows, std::size_t n_rows, std::size_t n_words,
                         std::uint32_t* counts, std::uint8_t* segments) {
  const __mmask8 low = vector_mask(n_words, 0), high = vector_mask(n_words, 1);
  for (std::size_t r = 0; r < n_rows; ++r) {
    const std::uint64_t* row = rows + r * n_words;
    const __m128i bytes = _mm_unpacklo_epi64(word_counts(row, low), word_counts(row + 8, high));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(segments + r * row_segments), bytes);
    counts[r] = byte_total(bytes);
  }
}

// Rows of 17 to 32 words: a segment is two words.  Summing neighbouring
// words' counts leaves segments 0, 4, 1, 5, ... in the first vector's
// order, put back in order with one shuffle.
void count_pair_segments(const std::uint64_t* rows, std::size_t n_rows, std::size_t n_words,
                         std::uint32_t* counts, std::uint8_t* segments) {
  __mmask8 masks[4];
  for (std::size_t v = 0; v < 4; ++v) masks[v] = vector_mask(n_words, v);
  const __m128i in_order = _mm_setr_epi8(0, 2, 4, 6, 1, 3, 5, 7, 8, 10, 12, 14, 9, 11, 13, 15);
  for (std::size_t r = 0; r < n_rows; ++r) {
    const std::uint64_t* row = rows + r * n_words;
    __m512i c[4];
    for (std::size_t v = 0; v < 4; ++v)
      c[v] = _mm512_popcnt_epi64(_mm512_maskz_loadu_epi64(masks[v], row + 8 * v));
    // Masked forms: the plain ones trip GCC 12 as above.
    const __m512i first = _mm512_add_epi64(_mm512_maskz_unpacklo_epi64(0xff, c[0], c[1]),
                                           _mm512_maskz_unpackhi_epi64(0xff, c[0], c[1]));
    const __m512i second = _mm512_add_epi64(_mm512_maskz_unpacklo_epi64(0xff, c[2], c[3]),
                                            _mm512_maskz_unpackhi_epi64(0xff, c[2], c[3]));
    const __m128i bytes = _mm_shuffle_epi8(
        _mm_unpacklo_epi64(_mm512_maskz_cvtepi64_epi8(0xff, first), _mm512_maskz_cvtepi64_epi8(0xff, second)),
        in_order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(segments + r * row_segments), bytes);
    counts[r] = byte_total(bytes);
  }
}

// The segment bounds of two rows against the query, the rows' 16 bytes each
// side by side: each 128-bit lane's sum lands in both of its words.
inline __m256i two_bounds(const std::uint8_t* rows, __m256i query) {
  const __m256i sums =
      _mm256_sad_epu8(_mm256_min_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows)), query),
                      _mm256_setzero_si256());
  return _mm256_add_epi64(sums, _mm256_shuffle_epi32(sums, 0x4e));
}

// The bounds of 16 rows, one a 32-bit lane.  The byte arithmetic is AVX2's
// (VPOPCNTDQ does not imply the 512-bit byte instructions).
inline __m512i sixteen_bounds(const std::uint8_t* rows, __m256i query) {
  __m512i quads[4];
  for (std::size_t q = 0; q < 4; ++q) {
    // Masked forms: the plain inserts trip GCC 12 as above.
    const __m512i first_pair = _mm512_maskz_inserti64x4(0xff, _mm512_setzero_si512(),
                                                        two_bounds(rows + 4 * q * row_segments, query), 0);
    quads[q] =
        _mm512_maskz_inserti64x4(0xff, first_pair, two_bounds(rows + (4 * q + 2) * row_segments, query), 1);
  }
  // Each row's sum sits at dwords 0, 4, 8 and 12 of its quad.
  const __m512i firsts = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m512i low = _mm512_permutex2var_epi32(quads[0], firsts, quads[1]);
  const __m512i high = _mm512_permutex2var_epi32(quads[2], firsts, quads[3]);
  return _mm512_maskz_inserti64x4(0xff, low, _mm512_maskz_extracti64x4_epi64(0xff, high, 0), 1);
}

// The counts needed, up to 64 of them, held in four registers and looked
// up by permutation: a gather costs more than the rest of a step.
class NeededTable {
 public:
  NeededTable(const std::uint32_t* needed, std::uint32_t span) {
    for (std::uint32_t v = 0; v < 4; ++v) {
      const std::uint32_t first = 16 * v;
      const std::uint32_t entries = span + 1 > first ? std::min<std::uint32_t>(16, span + 1 - first) : 0;
      const __mmask16 present =
          entries == 16 ? __mmask16{0xffff} : static_cast<__mmask16>((1u << entries) - 1);
      parts_[v] = _mm512_maskz_loadu_epi32(present, needed + first);
    }
  }

  // Lanes whose offset is 64 or more come back meaningless.
  __m512i at(__m512i offset) const {
    const __m512i low = _mm512_permutex2var_epi32(parts_[0], offset, parts_[1]);
    const __m512i high = _mm512_permutex2var_epi32(parts_[2], offset, parts_[3]);
    return _mm512_mask_blend_epi32(_mm512_test_epi32_mask(offset, _mm512_set1_epi32(32)), low, high);
  }

 private:
  __m512i parts_[4];
};

inline constexpr std::uint32_t max_table_span = 63;

// Sixteen rows a step: the count window as in pick_in_window, then, for
// the steps with a row in it, the rows' bounds against the counts they
// need.  Wider windows and the last few rows take the plain loop.
std::size_t pick_reachable(const std::uint32_t* counts, const std::uint8_t* segments, std::size_t n,
                           std::uint32_t lowest, std::uint32_t span, const std::uint32_t* needed,
                           const std::uint8_t* query_segments, std::size_t skip, std::uint32_t* picked) {
  if (span > max_table_span) {
    return pick_reachable_any(counts, segments, n, lowest, span, needed, query_segments, skip, picked);
  }
  const NeededTable table(needed, span);
  const __m128i query_half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(query_segments));
  const __m256i query = _mm256_inserti128_si256(_mm256_castsi128_si256(query_half), query_half, 1);
  WindowSteps steps(lowest, span, skip, n);
  std::size_t n_picked = 0;
  std::size_t t = 0;
  for (; t + 16 <= n; t += 16) {
    const __m512i offset = steps.offsets(counts + t, 0xffff);
    const __mmask16 in_window = steps.in_window(offset, 0xffff);
    if (in_window == 0) {
      steps.next();
      continue;
    }
    const __m512i bounds = sixteen_bounds(segments + t * row_segments, query);
    steps.append(_mm512_mask_cmpge_epu32_mask(in_window, bounds, table.at(offset)), picked, n_picked);
  }
  const SegmentBound bound(query_segments);
  for (; t < n; ++t) {
    const std::uint32_t offset = counts[t] - lowest;
    picked[n_picked] = static_cast<std::uint32_t>(t);
    n_picked += static_cast<std::size_t>(offset <= span && t != skip &&
                                         bound(segments + t * row_segments) >= needed[offset]);
  }
  return n_picked;
}

void count_segments(const std::uint64_t* rows, std::size_t n_rows, std::size_t n_words, std::uint32_t* counts,
                    std::uint8_t* segments) {
  switch (segment_words(n_words)) {
    case 1: return count_word_segments(rows, n_rows, n_words, counts, segments);
    case 2: return count_pair_segments(rows, n_rows, n_words, counts, segments);
    default: return count_any_segments(rows, n_rows, n_words, counts, segments);
  }
}

}  // namespace quarnel::engine::kernel::avx512

#pragma GCC pop_options

namespace quarnel::engine::kernel {

const KernelTable avx512_kernel{"avx512",
                                &avx512::count_rows,
                                &avx512::count_segments,
                                &avx512::pick_in_window,
                                &avx512::pick_reachable,
                                &avx512::and_count_rows,
                                &avx512::and_count_picked,
                                &avx512::tanimoto_scores,
                                &avx512::dice_scores,
                                &avx512::cosine_scores,
                                &avx512::tversky_scores};

}  // namespace quarnel::engine::kernel

#endif
