#pragma once
// The state a pool's workers share.  The WorkerPool handle and every worker
// thread each hold a std::shared_ptr to it; whoever lets go last frees it,
// normally the last worker to leave after shutdown.  A pool kept between
// calls runs each call on its first call_threads() workers; the others stay
// parked (README.md, "Threads").

#include <atomic>
#include <memory>

#include "engine/pool/injector.hpp"
#include "engine/pool/sleep.hpp"
#include "engine/pool/work_deque.hpp"

namespace quarnel::engine::pool {

struct PoolState {
  explicit PoolState(unsigned n_workers)
      : n_threads(n_workers),
        sleep(n_workers),
        deques(std::make_unique<WorkDeque[]>(n_workers)),
        call_threads_(n_workers) {}
  PoolState(const PoolState&) = delete;
  PoolState& operator=(const PoolState&) = delete;

  bool terminating() const noexcept {
    // seq_cst: read in the sleeper's recheck, against shutdown()'s store
    // followed by its wake of every sleeper.
    return terminate.load(std::memory_order_seq_cst);
  }

  // Every worker's terminate signal: one flag they all read.  Wakes the
  // sleepers; does not wait for anyone.
  void shutdown() noexcept {
    // seq_cst: see terminating().
    terminate.store(true, std::memory_order_seq_cst);
    sleep.wake_all();
  }

  // Asks the workers to leave the rest of the current job undone: its
  // loops look at this between blocks of rows.
  void request_stop() noexcept {
    // relaxed: nothing is published through the flag.  A loop that reads it
    // late only does some more work; the waiter still learns the job is over
    // from its latch, which orders the workers' writes, and the flag is read
    // for the call's answer only by the thread that set it.
    stop.store(true, std::memory_order_relaxed);
  }

  bool stop_requested() const noexcept {
    // relaxed: see request_stop(); one load per block of rows.
    return stop.load(std::memory_order_relaxed);
  }

  // The workers the current call may use, and how it is cut: 1 to
  // n_threads.  Set by the call's owner before it hands in its first job.
  unsigned call_threads() const noexcept {
    // seq_cst: a worker reads it after it has seen the call's work (an
    // injected job, a stolen piece), so it sees the value the owner stored
    // before publishing that work.
    return call_threads_.load(std::memory_order_seq_cst);
  }
  void set_call_threads(unsigned n) noexcept {
    // seq_cst: before the job is handed in (see call_threads()).
    call_threads_.store(n, std::memory_order_seq_cst);
  }
  bool takes_part(unsigned worker) const noexcept { return worker < call_threads(); }

  const unsigned n_threads;
  Sleep sleep;
  Injector injector;
  std::unique_ptr<WorkDeque[]> deques;  // one per worker, by index
  std::atomic<bool> terminate{false};
  std::atomic<bool> stop{false};

 private:
  std::atomic<unsigned> call_threads_;
};

}  // namespace quarnel::engine::pool
