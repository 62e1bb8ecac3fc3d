// The AVX2 backend.  At 16, 32 and 64 words a row is counted in blocks of up
// to 32 words: the first vectors of a block are ANDed with the query, kept
// in registers across the rows, and folded by full adders (three vectors
// into a sum and a carry vector, five logic instructions instead of a
// count) before the nibble lookup (vpshufb) counts what is left; the last
// words of the block go to scalar POPCNT, which runs on the integer units
// while the vector units are busy.  bench/kernel_bench times this against
// the plain lookup of every vector, which it keeps as `avx2-lookup`.  Other
// widths use POPCNT.
#if defined(__x86_64__)

#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/kernel/backends.hpp"

#pragma GCC push_options
#pragma GCC target("avx2,popcnt")

namespace quarnel::engine::kernel::avx2 {

inline std::uint32_t popcount_word(std::uint64_t word) {
  return static_cast<std::uint32_t>(__builtin_popcountll(word));
}

inline std::uint64_t load_word(const std::uint64_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline __m256i load_vector(const std::uint64_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
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

// sum + 2 * carry = a + b + c, bit by bit.
inline void full_add(__m256i a, __m256i b, __m256i c, __m256i& sum, __m256i& carry) {
  const __m256i ab = _mm256_xor_si256(a, b);
  sum = _mm256_xor_si256(ab, c);
  carry = _mm256_or_si256(_mm256_and_si256(a, b), _mm256_and_si256(ab, c));
}

inline __m256i twice(__m256i bytes) { return _mm256_add_epi8(bytes, bytes); }

// Per-byte counts of K vectors together; each byte at most 8 * K (<= 56).
// Which K each width uses was measured on Zen 4 (bench/kernel_bench): six
// vectors and eight POPCNT words per 32-word block, three and four at 16.
template <std::size_t K>
inline __m256i popcount_bytes_of(const __m256i* v) {
  static_assert(K == 3 || K == 6);
  if constexpr (K == 3) {
    __m256i sum, carry;
    full_add(v[0], v[1], v[2], sum, carry);
    return _mm256_add_epi8(twice(popcount_bytes(carry)), popcount_bytes(sum));
  } else {
    __m256i sum1, carry1, sum2, carry2, sum3, carry3;
    full_add(v[0], v[1], v[2], sum1, carry1);
    full_add(v[3], v[4], v[5], sum2, carry2);
    const __m256i ones = _mm256_xor_si256(sum1, sum2);
    full_add(carry1, carry2, _mm256_and_si256(sum1, sum2), sum3, carry3);  // the twos
    const __m256i twos = _mm256_add_epi8(twice(popcount_bytes(carry3)), popcount_bytes(sum3));
    return _mm256_add_epi8(twice(twos), popcount_bytes(ones));
  }
}

// Widths without a vector loop (only 3 words among the compile-time ones).
template <std::size_t W>
class QueryCounter {
 public:
  explicit QueryCounter(const std::uint64_t* query) : query_(query) {}
  std::uint32_t operator()(const std::uint64_t* row) const {
    std::uint32_t count = 0;
    for (std::size_t w = 0; w < W; ++w) count += popcount_word(load_word(query_ + w) & load_word(row + w));
    return count;
  }

 private:
  const std::uint64_t* query_;
};

// The vector widths; the query's vector part is loaded once for all the
// rows it meets.
template <std::size_t W>
requires(W == 16 || W == 32 || W == 64) class QueryCounter<W> {
  static constexpr std::size_t block = W < 32 ? W : 32;
  static constexpr std::size_t blocks = W / block;
  static constexpr std::size_t vectors = block == 32 ? 6 : 3;  // per block
  static_assert((block - 4 * vectors) % 2 == 0);

 public:
  explicit QueryCounter(const std::uint64_t* query) : query_(query) {
    for (std::size_t b = 0; b < blocks; ++b) {
      for (std::size_t v = 0; v < vectors; ++v) query_vectors_[b][v] = load_vector(query + b * block + 4 * v);
    }
  }

  std::uint32_t operator()(const std::uint64_t* row) const {
    __m256i lanes = _mm256_setzero_si256();
    // Two running sums, so that consecutive POPCNTs do not wait on each other.
    std::uint64_t even = 0, odd = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
      const std::uint64_t* words = row + b * block;
      __m256i common[vectors];
      for (std::size_t v = 0; v < vectors; ++v) {
        common[v] = _mm256_and_si256(query_vectors_[b][v], load_vector(words + 4 * v));
      }
      lanes = _mm256_add_epi64(lanes,
                               _mm256_sad_epu8(popcount_bytes_of<vectors>(common), _mm256_setzero_si256()));
      const std::uint64_t* query = query_ + b * block;
      for (std::size_t w = 4 * vectors; w < block; w += 2) {
        even += popcount_word(load_word(query + w) & load_word(words + w));
        odd += popcount_word(load_word(query + w + 1) & load_word(words + w + 1));
      }
    }
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1) + even + odd);
  }

 private:
  const std::uint64_t* query_;
  __m256i query_vectors_[blocks][vectors];
};

#define QUARNEL_HAVE_QUERY_COUNTER
#define QUARNEL_HAVE_WINDOW_PICKER
#include "engine/kernel/and_count_generic.inc"
#undef QUARNEL_HAVE_QUERY_COUNTER
#undef QUARNEL_HAVE_WINDOW_PICKER

// For each 8-bit choice of lanes, the chosen lanes' numbers packed to the
// front, a byte each.
struct LanePacking {
  std::uint64_t lanes[256];
  constexpr LanePacking() : lanes() {
    for (unsigned choice = 0; choice < 256; ++choice) {
      unsigned at = 0;
      for (unsigned lane = 0; lane < 8; ++lane) {
        if (choice & (1u << lane)) lanes[choice] |= std::uint64_t{lane} << (8 * at++);
      }
    }
  }
};
inline constexpr LanePacking lane_packing;

// Eight counts a step: the chosen lanes' positions are packed to the front
// by a permutation looked up from the choice mask, and the whole vector is
// stored (the caller's buffer has room for n, and at most n - t positions
// have been written before position t).  The last partial step is scalar.
std::size_t pick_in_window(const std::uint32_t* counts, std::size_t n, std::uint32_t lowest,
                           std::uint32_t span, std::size_t skip, std::uint32_t* picked) {
  // Unsigned x - lowest <= span as signed comparisons: flip the top bit.
  const __m256i flip = _mm256_set1_epi32(INT32_MIN);
  const __m256i low = _mm256_set1_epi32(static_cast<int>(lowest));
  const __m256i above = _mm256_set1_epi32(static_cast<int>(span ^ 0x80000000u));
  const __m256i left_out = _mm256_set1_epi32(static_cast<int>(std::min(skip, n)));
  __m256i positions = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  std::size_t n_picked = 0;
  std::size_t t = 0;
  for (; t + 8 <= n; t += 8) {
    const __m256i offset = _mm256_xor_si256(
        _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + t)), low), flip);
    const __m256i outside =
        _mm256_or_si256(_mm256_cmpgt_epi32(offset, above), _mm256_cmpeq_epi32(positions, left_out));
    const unsigned choice = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(outside))) & 0xffu;
    const __m256i order =
        _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(lane_packing.lanes[choice])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(picked + n_picked),
                        _mm256_permutevar8x32_epi32(positions, order));
    n_picked += static_cast<std::size_t>(std::popcount(choice));
    positions = _mm256_add_epi32(positions, _mm256_set1_epi32(8));
  }
  for (; t < n; ++t) {
    picked[n_picked] = static_cast<std::uint32_t>(t);
    n_picked += static_cast<std::size_t>((counts[t] - lowest <= span) & (t != skip));
  }
  return n_picked;
}

}  // namespace quarnel::engine::kernel::avx2

#pragma GCC pop_options

namespace quarnel::engine::kernel {

// The compile-time widths of and_count_generic.inc that are whole vectors.
bool avx2_has_vector_loop(std::uint64_t n_words) { return n_words == 16 || n_words == 32 || n_words == 64; }

const KernelTable avx2_kernel{"avx2",
                              &avx2::count_rows,
                              &avx2::count_segments,
                              &avx2::pick_in_window,
                              &avx2::pick_reachable,
                              &avx2::and_count_rows,
                              &avx2::and_count_picked,
                              &avx2::tanimoto_scores,
                              &avx2::dice_scores,
                              &avx2::cosine_scores,
                              &avx2::tversky_scores};

}  // namespace quarnel::engine::kernel

#endif
