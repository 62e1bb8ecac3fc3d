#pragma once
// The candidates of a lazy MaxMin run: every row not yet picked, with the
// similarity to the nearest of the picks it has been compared with, kept in
// a binary max-heap that puts the farthest row first and, among equally far
// rows, the lowest.  Picks only ever bring a row closer, so each stored
// distance bounds the row's true distance from above, and a row at the top
// that has met every pick is the farthest row of all.

#include <cstddef>
#include <cstdint>

#include "engine/pick_nearness.hpp"

namespace quarnel::engine {

// Nearness is the pick_nearness.hpp form of the similarity to the nearest
// pick met so far.
template <class Nearness>
struct PickCandidate {
  std::uint32_t row;
  std::uint32_t met;  // picks compared with, in pick order
  Nearness nearest;
};

// Whether x goes before y: farther from the picks, or as far and lower.
template <class Nearness>
constexpr bool goes_before(const PickCandidate<Nearness>& x, const PickCandidate<Nearness>& y) {
  if (farther(x.nearest, y.nearest)) return true;
  if (farther(y.nearest, x.nearest)) return false;
  return x.row < y.row;
}

// A binary heap over storage the caller owns, so that the run holds no more
// than one candidate per row.
template <class Nearness>
class PickHeap {
 public:
  using Candidate = PickCandidate<Nearness>;

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
