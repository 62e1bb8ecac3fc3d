#pragma once
// The workers of one engine call.  Either a pool of its own, whose detached
// threads leave by themselves once they see it is shut down; or, inside a
// SharedPoolScope, a pool kept for the whole process (shared_pools.hpp),
// which shutdown() gives back; or, for a call too small to share, the
// calling thread alone.

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

// The work, in words of row pairs compared, below which a call runs on the
// calling thread: about 40 microseconds of it, less than handing it to
// workers and waking them would cost.  It also stays far below
// stop_check_interval, since nobody polls the stop check meanwhile.
inline constexpr std::uint64_t caller_work_limit = std::uint64_t{1} << 18;

class WorkerPool {
 public:
  // n_threads >= 1 asks for that many workers (capped at max_thread_count);
  // 0 or less asks for default_thread_count().  On failure the error is a
  // runtime_error whose message is the system's description of why a
  // thread could not be started ("{text} (os error {n})"); the threads
  // already started have been told to exit.
  static Result<WorkerPool> create(std::int32_t n_threads);

  // The workers for a call whose work is `pair_words` (words of row pairs
  // compared; UINT64_MAX where it cannot be told): a pool of its own as
  // create() builds, unless the calling thread is inside a SharedPoolScope
  // that says shared.  There a call within caller_work_limit runs on the
  // calling thread (thread_count() 1), and any other on a shared pool's
  // first n_threads workers; errors as create()'s.
  static Result<WorkerPool> for_call(std::int32_t n_threads, std::uint64_t pair_words);

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

  // Tells every worker to exit and wakes the sleeping ones, or gives a
  // shared pool back; does not wait.
  void shutdown();

 private:
  // Where the workers come from.
  enum class Source : unsigned char { own, shared, caller };

  WorkerPool(std::shared_ptr<PoolState> state, unsigned n_threads, Source source,
             std::uint64_t fork_generation = 0);
  // Runs the job on the calling thread, as the only worker of state_.
  void run_here(FunctionRef<void()> job);

  std::shared_ptr<PoolState> state_;
  unsigned n_threads_;
  Source source_;
  std::uint64_t fork_generation_;  // of a shared pool's lease
};

// Called on a worker, inside the job given to run().  Calls body(first, last)
// on disjoint pieces that together cover [0, n_rows), splitting by adaptive
// halving so every worker gets a share; returns when all pieces are done.
void parallel_for_rows(std::size_t n_rows, FunctionRef<void(std::size_t, std::size_t)> body);

// Called inside a job: whether the pool running it was asked to stop.  Long
// loops check it between blocks of rows and leave early; false off the pool.
bool stop_requested() noexcept;

}  // namespace quarnel::engine::pool
