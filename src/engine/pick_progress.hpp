#pragma once
// A picker's progress, for a caller that shows it.  The rounds run on a
// worker, which publishes its count after each; the calling thread, which
// waits in WorkerPool::run and wakes every stop_check_interval to poll its
// stop check, hands the latest count to the caller's hook then.  So the
// hook runs on the calling thread between rounds, never on a worker, and
// no round ever waits for it.

#include <atomic>
#include <cstdint>

#include "common/function_ref.hpp"
#include "common/result.hpp"
#include "engine/pool/stop_check.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"

namespace quarnel::engine {

// Called with the count so far; `last` on the one call made once the work
// is done.  Returning false stops the call, which then fails with the
// interrupted error.  It must not throw: it runs inside the pool's wait.
using ProgressHook = FunctionRef<bool(std::uint64_t done, bool last)>;

class PickProgress {
 public:
  explicit PickProgress(const ProgressHook* hook) noexcept : hook_(hook) {}

  // On the worker, after each round.  Relaxed: the count orders no other
  // memory; a report one round late is as good.
  void record(std::uint64_t done) noexcept { done_.store(done, std::memory_order_relaxed); }

  // Runs `job` on the pool as run_on_pool does, reporting while it runs;
  // the caller's own stop check, if any, is still polled.
  Result<Ok> run(pool::WorkerPool& workers, FunctionRef<void()> job) {
    if (hook_ == nullptr) return run_on_pool(workers, job);
    const pool::StopCheck* outer = pool::current_stop_check();
    auto check = [&]() -> bool {
      const std::uint64_t done = done_.load(std::memory_order_relaxed);
      if (done != reported_) {
        reported_ = done;
        if (!(*hook_)(done, false)) return true;
      }
      return outer != nullptr && (*outer)();
    };
    const pool::StopCheckScope scope(check);
    return run_on_pool(workers, job);
  }

  // The last report, on the calling thread once the work is done.
  Result<Ok> finish(std::uint64_t done) {
    if (hook_ != nullptr && !(*hook_)(done, true)) return interrupted_error();
    return Ok{};
  }

 private:
  const ProgressHook* hook_;
  std::atomic<std::uint64_t> done_{0};
  std::uint64_t reported_ = 0;  // calling thread only; 0 is not worth a report
};

}  // namespace quarnel::engine
