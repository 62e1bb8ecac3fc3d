#pragma once
// How idle workers fall asleep and are woken; the protocol is described in
// README.md.  Everything a waker touches here belongs to the pool, which
// every worker keeps alive, so waking is safe even after the woken side's
// job frame has gone.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "common/function_ref.hpp"

namespace quarnel::engine::pool {

// A hint to the processor that this thread is busy-waiting.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

class Sleep {
 public:
  explicit Sleep(unsigned n_workers);
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;

  // The work event counter.  A worker reads it before looking for work; if
  // it is unchanged afterwards, nothing was published in between.
  std::uint32_t events() const noexcept {
    // seq_cst: ordered against the deque and injector reads of the search
    // that follows (see announce_work).
    return events_.load(std::memory_order_seq_cst);
  }

  // Called after a job or a piece was made available; `hint` is where the
  // search for a sleeper to wake starts, to spread wakes over the workers.
  // Only workers below `n_awake` are woken: the others take no part in
  // the current call.
  void announce_work(unsigned hint, unsigned n_awake) noexcept;

  // Puts `worker` to sleep unless work was announced since it read `seen`
  // or `stop` holds.  Returns when woken; the caller then looks again.
  void sleep(unsigned worker, std::uint32_t seen, FunctionRef<bool()> stop) noexcept;

  // Puts `worker` to sleep, whatever is announced, unless `stop` holds:
  // a worker the current call does not use.  Returns when claimed.
  void park(unsigned worker, FunctionRef<bool()> stop) noexcept;

  // Wakes `worker` if it sleeps: the latch it waits for has been set.
  void wake_worker(unsigned worker) noexcept;

  // Wakes every sleeping worker (the pool is shutting down).
  void wake_all() noexcept;

  // A thread outside the pool waiting for a job it handed in sleeps on this
  // counter, which moves each time such a job finishes.
  std::uint32_t external_epoch() const noexcept {
    // seq_cst: read before the waiter checks its latch, so a completion
    // after that check moves the counter away from the value it sleeps on.
    return external_.load(std::memory_order_seq_cst);
  }
  void wait_external(std::uint32_t seen) const noexcept;
  // The same, giving up after `timeout`: a waiter with a stop check to poll.
  void wait_external_for(std::uint32_t seen, std::chrono::nanoseconds timeout) const noexcept;
  void notify_external() noexcept;

 private:
  // Takes `worker` off the sleepers and wakes it, if it is on them.
  bool claim(unsigned worker) noexcept;

  // 1 while its worker is asleep or about to be; a waker that turns it back
  // to 0 owns the wake-up.  Packed, not padded: a waker scans them for a
  // sleeper, and they are written only around a sleep, so sharing a cache
  // line costs little.
  struct SleepWord {
    std::atomic<std::uint32_t> value{0};
  };

  alignas(64) std::atomic<std::uint32_t> events_{0};
  alignas(64) std::atomic<std::uint32_t> sleeping_{0};
  alignas(64) std::atomic<std::uint32_t> external_{0};
  unsigned n_workers_;
  std::unique_ptr<SleepWord[]> words_;
};

}  // namespace quarnel::engine::pool
