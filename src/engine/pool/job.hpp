#pragma once
// A job is work that one thread describes and another may run.  It lives
// in the frame of the thread that made it, which does not return before the
// job's latch is set or the job was taken back unrun, so handing a job to
// another worker needs no heap allocation.

#include <cstdint>
#include <exception>

#include "engine/pool/latch.hpp"

namespace quarnel::engine::pool {

class Worker;

// What queues hold: one pointer per job, whatever the callable's type.
struct JobHeader {
  using ExecuteFn = void (*)(JobHeader*, Worker&, bool migrated) noexcept;

  explicit JobHeader(ExecuteFn fn) noexcept : execute_fn(fn) {}

  // Runs the job on `worker`; `migrated` tells whether that worker is not
  // the one that published it.
  void execute(Worker& worker, bool migrated) noexcept { execute_fn(this, worker, migrated); }

  ExecuteFn execute_fn;
  JobHeader* next = nullptr;  // link while queued in the injector
};

// F is called as f(Worker& running_on, bool migrated).
template <class F>
class StackJob final : public JobHeader {
 public:
  StackJob(F& func, Sleep& sleep, std::uint32_t waiter) noexcept
      : JobHeader(&StackJob::run_and_set), func_(func), latch_(sleep, waiter) {}
  StackJob(const StackJob&) = delete;
  StackJob& operator=(const StackJob&) = delete;

  const JobLatch& latch() const noexcept { return latch_; }

  // The publisher took the job back before anyone else ran it.
  void run_inline(Worker& worker) { func_(worker, false); }

  // After the latch is set: passes on what the job threw, if anything.
  void rethrow_if_failed() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  static void run_and_set(JobHeader* header, Worker& worker, bool migrated) noexcept {
    auto* self = static_cast<StackJob*>(header);
    try {
      self->func_(worker, migrated);
    } catch (...) {
      // Read by the waiter after the latch is set, which orders this write.
      self->error_ = std::current_exception();
    }
    self->latch_.set();  // last touch: the owner may leave this frame now
  }

  F& func_;
  JobLatch latch_;
  std::exception_ptr error_;
};

}  // namespace quarnel::engine::pool
