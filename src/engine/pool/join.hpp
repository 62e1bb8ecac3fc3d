#pragma once
// join(left, right) runs both halves, possibly at once on two workers.
// The right half is published on this worker's deque as a job that lives
// in this frame; this worker runs the left half, then takes the right half
// back unless a thief has it, in which case it helps with other pending
// pieces until the thief is done.  join never returns while the right half
// may still run, even when the left half threw: the job points into this
// frame.

#include <exception>
#include <type_traits>

#include "engine/pool/job.hpp"
#include "engine/pool/worker.hpp"

namespace quarnel::engine::pool {

// Both halves are called as f(Worker& running_on, bool migrated); `migrated`
// is true when the half runs on a worker other than the one that joined.
// An exception from either half is rethrown here after both have finished
// (the left half's, when both threw).
template <class Left, class Right>
void join(Worker& worker, Left&& left, Right&& right) {
  using RightFn = std::remove_reference_t<Right>;
  StackJob<RightFn> right_job(right, worker.pool().sleep, worker.index());
  if (!worker.push(&right_job)) {
    // Deque full (deep nesting): nobody else can take it; run both here.
    left(worker, false);
    right(worker, false);
    return;
  }

  std::exception_ptr left_error;
  try {
    left(worker, false);
  } catch (...) {
    left_error = std::current_exception();
  }

  while (!right_job.latch().probe()) {
    JobHeader* job = worker.pop();
    if (job == &right_job) {
      // Untouched by thieves.  After a failure there is no point running it.
      if (left_error) std::rethrow_exception(left_error);
      right_job.run_inline(worker);
      return;
    }
    if (job == nullptr) {
      // Stolen (entries are taken oldest first, so everything older went
      // too and our deque is empty): help until the thief sets the latch.
      worker.wait_until(right_job.latch());
      break;
    }
    // Newer entries are normally taken back by the joins that pushed them;
    // if one is here anyway, run it rather than lose it.
    job->execute(worker, false);
  }

  if (left_error) std::rethrow_exception(left_error);
  right_job.rethrow_if_failed();
}

}  // namespace quarnel::engine::pool
