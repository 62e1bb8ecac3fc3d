#pragma once
// The state a pool's workers share.  The WorkerPool handle and every worker
// thread each hold a std::shared_ptr to it; whoever lets go last frees it,
// normally the last worker to leave after shutdown.

#include <atomic>
#include <memory>

#include "engine/pool/injector.hpp"
#include "engine/pool/sleep.hpp"
#include "engine/pool/work_deque.hpp"

namespace quarnel::engine::pool {

struct PoolState {
  explicit PoolState(unsigned n_workers)
      : n_threads(n_workers), sleep(n_workers), deques(std::make_unique<WorkDeque[]>(n_workers)) {}
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

  const unsigned n_threads;
  Sleep sleep;
  Injector injector;
  std::unique_ptr<WorkDeque[]> deques;  // one per worker, by index
  std::atomic<bool> terminate{false};
};

}  // namespace quarnel::engine::pool
