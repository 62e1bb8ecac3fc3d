#pragma once
// What a threshold search keeps of each row while the size of its result is
// still unknown: the columns that reached the threshold, each with its AND
// count.  The score is made from the count when the result is assembled,
// so a hit takes 8 bytes here instead of 16.  Every row of a call draws its
// storage from one budget, so that a result too large for memory ends the
// call with an error instead of growing until the system kills the process.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quarnel::engine {

struct ThresholdHit {
  std::uint32_t column;  // row of the scanned set
  std::uint32_t common;  // set bits of the AND of the two rows
};

// Counts hit slots against a limit.  Shared by the workers of one call.
class HitBudget {
 public:
  explicit HitBudget(std::uint64_t max_hits) : max_hits_(max_hits) {}

  // Room for n more hits; false, and exhausted from then on, when they
  // would pass the limit.
  bool claim(std::uint64_t n) {
    // Relaxed throughout: the counts publish no data.  The caller reads
    // exhausted() for its answer only after the pool's run() has returned,
    // which orders every worker's writes before it.
    const std::uint64_t before = used_.fetch_add(n, std::memory_order_relaxed);
    if (before + n <= max_hits_) return true;
    exhaust();
    return false;
  }

  void give_back(std::uint64_t n) { used_.fetch_sub(n, std::memory_order_relaxed); }

  // Also set by a worker whose allocation failed, so that the others stop.
  void exhaust() { exhausted_.store(true, std::memory_order_relaxed); }
  bool exhausted() const { return exhausted_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> used_{0};
  const std::uint64_t max_hits_;
  std::atomic<bool> exhausted_{false};
};

// One row's hits in increasing column order, and the row's own bit count.
class RowHits {
 public:
  // False when the budget has no room left for the hit (nothing is added);
  // a failed allocation throws std::bad_alloc.
  bool add(ThresholdHit hit, HitBudget& budget) {
    if (hits_.size() == hits_.capacity()) {
      const std::size_t grown = std::max<std::size_t>(16, 2 * hits_.capacity());
      if (!budget.claim(grown - hits_.capacity())) return false;
      hits_.reserve(grown);
    }
    hits_.push_back(hit);
    return true;
  }

  // Frees the unused tail once the row is complete: most rows end far below
  // their last doubling.
  void trim(HitBudget& budget) {
    const std::size_t spare = hits_.capacity() - hits_.size();
    if (spare == 0) return;
    std::vector<ThresholdHit>(hits_.begin(), hits_.end()).swap(hits_);
    budget.give_back(spare);
  }

  std::span<const ThresholdHit> hits() const { return hits_; }
  // Takes over hits already in increasing column order (a search over
  // rows stored in another order renumbers and sorts its own).
  void adopt(std::vector<ThresholdHit> hits) { hits_ = std::move(hits); }
  std::uint32_t count() const { return count_; }
  void set_count(std::uint32_t count) { count_ = count; }

 private:
  std::vector<ThresholdHit> hits_;
  std::uint32_t count_ = 0;
};

}  // namespace quarnel::engine
