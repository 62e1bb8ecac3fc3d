#pragma once
// The candidates of a lazy MaxMin run: every row not yet picked, with the
// similarity to the nearest of the picks it has been compared with, kept in
// a max-heap that puts the farthest row first and, among equally far
// rows, the lowest.  Picks only ever bring a row closer, so each stored
// distance bounds the row's true distance from above, and a row at the top
// that has met every pick is the farthest row of all.

#include <algorithm>
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

// A four-way heap over storage the caller owns, so that the run holds no
// more than one candidate per row.  Four children a node: half the levels
// of a binary heap, and a node's children share one or two cache lines; the
// heap spans the whole pool, far beyond the caches, and each level of a sift
// costs a miss.
template <class Nearness>
class PickHeap {
 public:
  using Candidate = PickCandidate<Nearness>;
  static constexpr std::size_t arity = 4;

  PickHeap(Candidate* items, std::size_t size) : items_(items), size_(size) {}

  // Orders the candidates the storage was given with.
  void build() {
    for (std::size_t i = size_ / arity + 1; i-- > 0;) sift_down(i);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Candidate& top() { return items_[0]; }
  Candidate& at(std::size_t i) { return items_[i]; }

  // The first in heap order of the children of node i, or null.
  const Candidate* best_child(std::size_t i) const {
    const std::size_t first = arity * i + 1;
    if (first >= size_) return nullptr;
    const std::size_t end = std::min(first + arity, size_);
    std::size_t best = first;
    for (std::size_t child = first + 1; child < end; ++child) {
      if (goes_before(items_[child], items_[best])) best = child;
    }
    return &items_[best];
  }

  void pop() {
    items_[0] = items_[--size_];
    if (size_ > 1) sift_down(0);
  }

  // Restores the order below node i after its key has dropped.
  void sift_down(std::size_t i) {
    const Candidate moving = items_[i];
    for (;;) {
      const std::size_t first = arity * i + 1;
      if (first >= size_) break;
      // The grandchildren's line, while this level is compared.
      if (arity * first + 1 < size_) __builtin_prefetch(items_ + arity * first + 1);
      const Candidate* child = best_child(i);
      if (!goes_before(*child, moving)) break;
      const std::size_t at = static_cast<std::size_t>(child - items_);
      items_[i] = *child;
      i = at;
    }
    items_[i] = moving;
  }

 private:
  Candidate* items_;
  std::size_t size_;
};

}  // namespace quarnel::engine
