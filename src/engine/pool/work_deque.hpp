#pragma once
// Each worker's deque of published pieces: a fixed-capacity Chase-Lev deque.
// The owner pushes and pops at the bottom (newest first, so a join usually
// takes its own right half back); thieves take from the top (oldest, hence
// largest, pieces first).  A full deque refuses the push and the caller runs
// the piece itself, so nothing is ever allocated here.

#include <array>
#include <atomic>
#include <cstdint>

#include "engine/pool/job.hpp"

namespace quarnel::engine::pool {

class WorkDeque {
 public:
  // Live entries are the un-taken right halves of the joins a worker is
  // inside: about log2(threads) + 2 per loop, a few more for nested loops.
  static constexpr std::int64_t capacity = 64;

  WorkDeque() {
    for (auto& slot : slots_) slot.store(nullptr, std::memory_order_relaxed);
  }
  WorkDeque(const WorkDeque&) = delete;
  WorkDeque& operator=(const WorkDeque&) = delete;

  // Owner only.  False when full.
  bool push(JobHeader* job) noexcept {
    // relaxed: only the owner writes bottom_.
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);
    // acquire: a stale (smaller) top only makes us refuse early; a fresh one
    // follows the thief's read of the slot we are about to reuse.
    const std::int64_t t = top_.load(std::memory_order_acquire);
    if (b - t >= capacity) return false;
    // relaxed: published by the store of bottom_ below.
    slots_[b & mask].store(job, std::memory_order_relaxed);
    // seq_cst: releases the slot to thieves, and is ordered before the
    // announcement of new work that wakes sleepers (Sleep::announce_work).
    bottom_.store(b + 1, std::memory_order_seq_cst);
    return true;
  }

  // Owner only.  The newest entry, or null when empty or a thief won the last one.
  JobHeader* pop() noexcept {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    // seq_cst store then seq_cst load of top_: the owner and a thief racing
    // for the last entry must each see the other's claim (store-load order).
    bottom_.store(b, std::memory_order_seq_cst);
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {
      // Empty.  release: thieves that read this value still see the slots
      // of earlier pushes as published.
      bottom_.store(b + 1, std::memory_order_release);
      return nullptr;
    }
    // relaxed: our own earlier store.
    JobHeader* job = slots_[b & mask].load(std::memory_order_relaxed);
    if (t == b) {
      // The last entry: claim it against thieves by moving top_ as they do.
      // seq_cst: part of the same total order as the thieves' CAS.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
        job = nullptr;
      }
      // release: as above.
      bottom_.store(b + 1, std::memory_order_release);
    }
    return job;
  }

  struct Stolen {
    JobHeader* job;
    bool contended;  // lost a race: the deque may still hold work
  };

  // Any thread.  The oldest entry.
  Stolen steal() noexcept {
    // seq_cst loads, top_ first: a thief must not see a bottom_ older than
    // the top_ it claims against (load-load order), and the pair is ordered
    // against the owner's pop (see there) and the sleep protocol.
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) return {nullptr, false};
    // relaxed: the slot was published by the bottom_ store we just read
    // (acquire part of seq_cst).  If the owner has since reused the slot,
    // top_ has moved and the CAS below fails, discarding this value.
    JobHeader* job = slots_[t & mask].load(std::memory_order_relaxed);
    // seq_cst: claims the entry against the owner's pop and other thieves.
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
      return {nullptr, true};
    }
    return {job, false};
  }

 private:
  static constexpr std::int64_t mask = capacity - 1;
  static_assert((capacity & mask) == 0, "capacity must be a power of two");

  // Apart from each other: thieves hammer top_, the owner bottom_.
  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  alignas(64) std::array<std::atomic<JobHeader*>, capacity> slots_;
};

}  // namespace quarnel::engine::pool
