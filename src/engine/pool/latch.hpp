#pragma once
// The "done" flag of a job that someone waits for.  The latch lives inside
// the job, on the waiter's stack: once it is set the waiter may return and
// that memory may be reused, so set() reads everything it needs first and
// wakes the waiter through the pool's own sleep words afterwards.

#include <atomic>
#include <cstdint>

#include "engine/pool/sleep.hpp"

namespace quarnel::engine::pool {

class JobLatch {
 public:
  // The waiter is a thread outside the pool (the caller of run()).
  static constexpr std::uint32_t external_waiter = UINT32_MAX;

  // `waiter` is the index of the worker that waits, or external_waiter.
  JobLatch(Sleep& sleep, std::uint32_t waiter) noexcept : sleep_(&sleep), waiter_(waiter) {}
  JobLatch(const JobLatch&) = delete;
  JobLatch& operator=(const JobLatch&) = delete;

  bool probe() const noexcept {
    // seq_cst (acquire would do for the data): every write of the job
    // happens before set(), so a waiter that sees 1 sees them.  seq_cst
    // because the sleeper's recheck uses this load against set()'s wake.
    return done_.load(std::memory_order_seq_cst) != 0;
  }

  void set() noexcept {
    // Copied first: after the store below the latch may no longer exist.
    Sleep& sleep = *sleep_;
    const std::uint32_t waiter = waiter_;
    // seq_cst: releases the job's writes to the waiter, and orders the
    // store before the wake below (see Sleep::wake_worker).
    done_.store(1, std::memory_order_seq_cst);
    if (waiter == external_waiter) {
      sleep.notify_external();
    } else {
      sleep.wake_worker(waiter);
    }
  }

 private:
  std::atomic<std::uint32_t> done_{0};
  Sleep* sleep_;
  std::uint32_t waiter_;
};

}  // namespace quarnel::engine::pool
