#pragma once
// The bounded min-heap that keeps the best k' scores of one query row.
// Under `TopKTies::heap_order` its sift rules are fixed, not those of a
// general priority queue: which of several equal scores survives, and in
// what order ties come out, follow from exactly these rules and callers
// compare results across versions.  Under `TopKTies::lower_row` an equal
// score is decided by the row number, so the heap keeps exactly the first
// k' of all rows ordered by score, then row, whatever order they arrive in:
// results that windows and shards merge into one.

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace quarnel::engine {

enum class TopKTies : std::uint8_t { heap_order, lower_row };

struct TopKEntry {
  double score;
  std::uint32_t index;
};

class TopKHeap {
 public:
  // `storage` has room for `capacity` entries and outlives the heap.
  TopKHeap(TopKEntry* storage, std::size_t capacity, TopKTies ties = TopKTies::heap_order)
      : entries_(storage), capacity_(capacity), ties_(ties) {}

  std::size_t size() const { return size_; }
  double min_score() const { return entries_[0].score; }  // needs size() > 0

  // A full heap takes an entry only if it beats the current minimum
  // strictly; an equal score stays out unless its row decides ties and is
  // the lower.
  void offer(double score, std::uint32_t index) {
    if (size_ < capacity_) {
      insert({score, index});
    } else if (capacity_ > 0 && worse(entries_[0], {score, index})) {
      remove_min();
      insert({score, index});
    }
  }

  // Sorts best first (equal scores keep their heap-array order unless rows
  // decide ties) and writes the entries out.  The heap is unusable
  // afterwards.
  void write_sorted(std::uint32_t* indices, double* scores) {
    std::stable_sort(entries_, entries_ + size_,
                     [this](const TopKEntry& x, const TopKEntry& y) { return worse(y, x); });
    for (std::size_t m = 0; m < size_; ++m) {
      indices[m] = entries_[m].index;
      scores[m] = entries_[m].score;
    }
  }

 private:
  void insert(TopKEntry entry) {
    sift_up(size_, entry);
    ++size_;
  }

  void sift_up(std::size_t position, TopKEntry entry) {
    while (position > 0) {
      const std::size_t parent = (position - 1) / 2;
      if (!worse(entry, entries_[parent])) break;
      entries_[position] = entries_[parent];
      position = parent;
    }
    entries_[position] = entry;
  }

  // Moves the hole left by the old minimum down to a leaf, preferring the
  // right child on ties, then sifts the former last entry up from there.
  void remove_min() {
    const TopKEntry last = entries_[size_ - 1];
    --size_;
    if (size_ == 0) return;
    std::size_t hole = 0;
    while (2 * hole + 2 < size_) {
      const std::size_t left = 2 * hole + 1;
      const std::size_t right = left + 1;
      const std::size_t child = worse(entries_[left], entries_[right]) ? left : right;
      entries_[hole] = entries_[child];
      hole = child;
    }
    if (2 * hole + 1 == size_ - 1) {
      entries_[hole] = entries_[size_ - 1];
      hole = size_ - 1;
    }
    sift_up(hole, last);
  }

  // The order the heap keeps, worst at the root.
  bool worse(const TopKEntry& x, const TopKEntry& y) const {
    if (x.score != y.score) return x.score < y.score;
    return ties_ == TopKTies::lower_row && x.index > y.index;
  }

  TopKEntry* entries_;
  std::size_t capacity_;
  TopKTies ties_;
  std::size_t size_ = 0;
};

}  // namespace quarnel::engine
