#pragma once
// The per-call pool of worker threads.  Each engine call builds one, runs at
// most one job on it and shuts it down; the threads are detached and leave
// by themselves once they see the pool is shut down.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/function_ref.hpp"
#include "common/result.hpp"

namespace quarnel::engine::pool {

struct PoolState;

// How often a caller with a stop check polls it while it waits: often
// enough that Ctrl-C feels immediate, seldom enough to cost nothing.
inline constexpr std::chrono::milliseconds stop_check_interval{50};

// The largest pool; asking for more threads gives this many.
inline constexpr unsigned max_thread_count = 65535;

class WorkerPool {
 public:
  // n_threads >= 1 asks for that many workers (capped at max_thread_count);
  // 0 or less asks for default_thread_count().  On failure the error is a
  // runtime_error whose message is the system's description of why a
  // thread could not be started ("{text} (os error {n})"); the threads
  // already started have been told to exit.
  static Result<WorkerPool> create(std::int32_t n_threads);

  WorkerPool(WorkerPool&&) noexcept;
  WorkerPool& operator=(WorkerPool&&) noexcept;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();  // shuts down if shutdown() was not called

  unsigned thread_count() const;

  // Called from a thread that is not one of this pool's workers.  Hands the
  // job to a worker and blocks, without spinning, until it has returned;
  // every write the job made is then visible to the caller.
  //
  // Where the calling thread has a stop check (stop_check.hpp), the wait
  // wakes every stop_check_interval to poll it.  Once it says stop, the
  // workers are told to leave the rest of the job undone, the wait goes on
  // until the job has returned (it may point into the caller's frame), and
  // stop_requested() is true from then on: the job's results are partial,
  // and later runs on this pool return at once without running their job.
  // Each sleep of the wait runs inside the thread's wrapper (around_wait.hpp),
  // and the check between sleeps outside it.
  void run(FunctionRef<void()> job);

  // Whether a stop check stopped a job of this pool.
  bool stop_requested() const;

  // Tells every worker to exit and wakes the sleeping ones; does not wait.
  void shutdown();

 private:
  explicit WorkerPool(std::shared_ptr<PoolState> state);
  std::shared_ptr<PoolState> state_;
};

// Called on a worker, inside the job given to run().  Calls body(first, last)
// on disjoint pieces that together cover [0, n_rows), splitting by adaptive
// halving so every worker gets a share; returns when all pieces are done.
void parallel_for_rows(std::size_t n_rows, FunctionRef<void(std::size_t, std::size_t)> body);

// Called inside a job: whether the pool running it was asked to stop.  Long
// loops check it between blocks of rows and leave early; false off the pool.
bool stop_requested() noexcept;

}  // namespace quarnel::engine::pool
