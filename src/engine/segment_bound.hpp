#pragma once
// Pruning by segment counts (kernel/row_segments.hpp).  A row of b bits can
// beat a score only if its bound on the bits in common, the sum over
// segments of the smaller count, reaches the least number of common bits
// that beats it for a query of a bits against b.  That least number is
// tabulated over b once per score to beat, so a row costs a lookup and a
// 16-byte comparison, not a division.

#include <algorithm>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/kernel/row_segments.hpp"
#include "engine/score_bound.hpp"

namespace quarnel::engine {

// The most bits a row can have in common with one query row, from their
// segment counts, for the engine's row-by-row tests (the kernel table's
// pick_reachable tests whole blocks).  The query's counts are held in a
// register: read through
// a pointer, they would be reloaded for every row, since any store may
// alias bytes.
class CommonBound {
 public:
  explicit CommonBound(const std::uint8_t* query) {
    static_assert(kernel::row_segments == 16);
#if defined(__SSE2__)
    query_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(query));
#else
    std::copy_n(query, kernel::row_segments, query_);
#endif
  }

  std::uint32_t operator()(const std::uint8_t* row) const {
#if defined(__SSE2__)
    const __m128i smaller = _mm_min_epu8(query_, _mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
    const __m128i sums = _mm_sad_epu8(smaller, _mm_setzero_si128());  // one sum per half
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
#else
    std::uint32_t sum = 0;
    for (std::size_t s = 0; s < kernel::row_segments; ++s) sum += std::min(query_[s], row[s]);
    return sum;
#endif
  }

 private:
#if defined(__SSE2__)
  __m128i query_;
#else
  std::uint8_t query_[kernel::row_segments];
#endif
};

// The least c <= min(a, b) whose score beats `threshold`, or min(a, b) + 1
// where none does; for a metric that rounds monotonically.
template <class Metric>
std::uint32_t least_common_beating(const Metric& metric, std::uint32_t a, std::uint32_t b, double threshold) {
  std::uint32_t lo = 0, hi = std::min(a, b) + 1;
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if (metric.score(a, b, mid) > threshold) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// For one query of a bits and one score to beat, the least number of bits
// in common that beats it, for each count b of the window of counts that
// can (CountWindow::beating).
class CommonNeeded {
 public:
  // Whether a metric's computed scores allow the walk in tabulate().
  template <class Metric>
  static bool applies(const Metric& metric) {
    return metric.falls_with_target_count();
  }

  // `most_bits` caps the window: no row has more.  The least c for b is
  // no less than for b - 1 (the score never rises with b), so one walk
  // upwards in c serves every b; it asks nothing of how the score moves
  // with c.  Where even min(a, b) does not beat the score, the entry is
  // min(a, b): such rows are scored and fail.
  template <class Metric>
  void tabulate(const Metric& metric, std::uint32_t a, double threshold, const CountWindow& window,
                std::uint32_t most_bits) {
    lowest_ = window.lowest();
    const std::uint32_t highest = std::min(window.highest(), most_bits);
    needed_.resize(highest >= lowest_ ? highest - lowest_ + 1 : 0);
    std::uint32_t c = 0;
    for (std::uint32_t b = lowest_; b <= highest; ++b) {
      const std::uint32_t most = std::min(a, b);
      while (c < most && !(metric.score(a, b, c) > threshold)) ++c;
      needed_[b - lowest_] = c;
    }
  }

  // The counts tabulated, [lowest(), lowest() + span()], and the table.
  std::uint32_t lowest() const { return lowest_; }
  std::uint32_t span() const { return static_cast<std::uint32_t>(needed_.size()) - 1; }
  const std::uint32_t* table() const { return needed_.data(); }

 private:
  std::vector<std::uint32_t> needed_;
  std::uint32_t lowest_ = 0;
};

}  // namespace quarnel::engine
