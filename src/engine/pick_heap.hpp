#pragma once
// The candidates of a lazy MaxMin run: every row not yet picked, with the
// similarity to the nearest of the picks it has been compared with, kept in
// a binary max-heap that puts the farthest row first and, among equally far
// rows, the lowest.  Picks only ever bring a row closer, so each stored
// distance bounds the row's true distance from above, and a row at the top
// that has met every pick is the farthest row of all.

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace quarnel::engine {

// Count is std::uint16_t for rows of at most 65535 bits, which keeps a
// candidate at 12 bytes, and std::uint32_t above.
template <class Count>
struct PickCandidate {
  std::uint32_t row;
  std::uint32_t met;  // picks compared with, in pick order
  Count common;       // bits shared with the nearest of them
  Count either;       // bits in either of the two; never 0 (see similar())
};

// A row of a bits and a pick of b bits sharing c: the Tanimoto similarity
// as the fraction common / either.  Two empty rows are identical (1 / 1),
// as RDKit has them.
template <class Count>
constexpr std::pair<Count, Count> similar(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  const std::uint32_t either = a + b - c;
  if (either == 0) return {Count{1}, Count{1}};
  return {static_cast<Count>(c), static_cast<Count>(either)};
}

// Whether similarity c1 / e1 is below c2 / e2, that is whether the distance
// RDKit computes (1.0 - c / e in double) is above.  With at most 65535 bits
// the fractions are compared exactly by cross-multiplication: two different
// fractions of such denominators are more than 2^-32 apart, far beyond what
// the double division and subtraction can blur, so they order as RDKit's
// doubles do, and equal fractions give equal doubles.  Wider rows compare
// RDKit's doubles themselves.
template <class Count>
constexpr bool less_similar(Count c1, Count e1, Count c2, Count e2) {
  if constexpr (std::is_same_v<Count, std::uint16_t>) {
    return static_cast<std::uint32_t>(c1) * e2 < static_cast<std::uint32_t>(c2) * e1;
  } else {
    return 1.0 - static_cast<double>(c1) / static_cast<double>(e1) >
           1.0 - static_cast<double>(c2) / static_cast<double>(e2);
  }
}

// Whether x goes before y: farther from the picks, or as far and lower.
template <class Count>
constexpr bool goes_before(const PickCandidate<Count>& x, const PickCandidate<Count>& y) {
  if (less_similar(x.common, x.either, y.common, y.either)) return true;
  if (less_similar(y.common, y.either, x.common, x.either)) return false;
  return x.row < y.row;
}

// A binary heap over storage the caller owns, so that the run holds no more
// than one candidate per row.
template <class Count>
class PickHeap {
 public:
  using Candidate = PickCandidate<Count>;

  PickHeap(Candidate* items, std::size_t size) : items_(items), size_(size) {}

  // Orders the candidates the storage was given with.
  void build() {
    for (std::size_t i = size_ / 2; i-- > 0;) sift_down(i);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Candidate& top() { return items_[0]; }
  const Candidate& at(std::size_t i) const { return items_[i]; }

  // The candidate that would be on top without the current top, or null.
  const Candidate* runner_up() const {
    if (size_ < 2) return nullptr;
    if (size_ == 2 || goes_before(items_[1], items_[2])) return &items_[1];
    return &items_[2];
  }

  void pop() {
    items_[0] = items_[--size_];
    if (size_ > 1) sift_down(0);
  }

  // Restores the order after the top's key has dropped.
  void settle_top() { sift_down(0); }

 private:
  void sift_down(std::size_t i) {
    const Candidate moving = items_[i];
    for (;;) {
      std::size_t child = 2 * i + 1;
      if (child >= size_) break;
      if (child + 1 < size_ && goes_before(items_[child + 1], items_[child])) ++child;
      if (!goes_before(items_[child], moving)) break;
      items_[i] = items_[child];
      i = child;
    }
    items_[i] = moving;
  }

  Candidate* items_;
  std::size_t size_;
};

}  // namespace quarnel::engine
