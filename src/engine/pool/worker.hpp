#pragma once
// A worker thread's view of its pool: its index, its deque, and the loop
// that finds work, runs it, and sleeps when there is none.  One Worker lives
// on each worker thread's stack for the thread's whole life.

#include <cstdint>

#include "common/function_ref.hpp"
#include "engine/pool/job.hpp"
#include "engine/pool/pool_state.hpp"

namespace quarnel::engine::pool {

class Worker {
 public:
  Worker(PoolState& pool, unsigned index) noexcept;
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // The Worker of the calling thread, or null on a thread outside any pool.
  static Worker* current() noexcept;

  PoolState& pool() const noexcept { return pool_; }
  unsigned index() const noexcept { return index_; }

  // Publishes a job on this worker's deque and wakes a sleeper to take it.
  // False (and nothing published) when the deque is full.
  bool push(JobHeader* job) noexcept;

  // Takes back this worker's newest published job, if any thief left it.
  JobHeader* pop() noexcept { return pool_.deques[index_].pop(); }

  // Runs other pending pieces, or sleeps, until `latch` is set.
  void wait_until(const JobLatch& latch) noexcept;

  // The thread's life: runs handed-in jobs and stolen pieces until the pool
  // shuts down and no handed-in job is left.
  void main_loop() noexcept;

 private:
  // Finds and runs work until `stop` holds.  Handed-in jobs are only taken
  // when idle at top level: a worker waiting in a join keeps its attention
  // on the loop it belongs to.
  void work_until(FunctionRef<bool()> stop, bool take_injected) noexcept;
  JobHeader* steal() noexcept;
  // Hands a stolen piece on to the workers of the current call: this one
  // is not among them.
  void pass_on(JobHeader* job) noexcept;

  PoolState& pool_;
  const unsigned index_;
  std::uint32_t rng_;  // picks where a search for victims starts
};

}  // namespace quarnel::engine::pool
