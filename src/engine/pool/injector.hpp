#pragma once
// Jobs handed in from outside the pool by run(), first in first out.  Rare
// (one per engine call), so a mutex is enough; the jobs are linked through
// their own headers and nothing is allocated.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/pool/job.hpp"

namespace quarnel::engine::pool {

class Injector {
 public:
  void push(JobHeader* job) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    job->next = nullptr;
    if (tail_ == nullptr) {
      head_ = job;
    } else {
      tail_->next = job;
    }
    tail_ = job;
    // seq_cst: read by idle workers without the lock; ordered before the
    // caller's announcement of new work (Sleep::announce_work).
    size_.fetch_add(1, std::memory_order_seq_cst);
  }

  JobHeader* pop() noexcept {
    if (empty()) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    JobHeader* job = head_;
    if (job == nullptr) return nullptr;
    head_ = job->next;
    if (head_ == nullptr) tail_ = nullptr;
    // relaxed: only a hint for lock-free readers; the lock orders the list.
    size_.fetch_sub(1, std::memory_order_relaxed);
    return job;
  }

  bool empty() const noexcept {
    // seq_cst: part of an idle worker's search, ordered against push's
    // increment and the work announcement that follows it.
    return size_.load(std::memory_order_seq_cst) == 0;
  }

 private:
  std::mutex mutex_;
  JobHeader* head_ = nullptr;
  JobHeader* tail_ = nullptr;
  std::atomic<std::uint32_t> size_{0};
};

}  // namespace quarnel::engine::pool
