#pragma once
// What the thread waiting in WorkerPool::run wraps each of its sleeps in.
// A caller that holds a lock other threads need while its workers run (the
// binding's interpreter lock) sets a wrapper that lets go of the lock for
// the sleep and takes it back after; the stop check, polled between sleeps,
// then runs with the lock held.  Like the stop check it is set on the
// calling thread for one call, and scopes nest with the innermost applying:
// a scope without a wrapper keeps every lock through the waits, whatever an
// outer scope says.

#include <optional>

#include "common/function_ref.hpp"

namespace quarnel::engine::pool {

// Calls `sleep` once and returns after it; must not throw.
using AroundWait = FunctionRef<void(FunctionRef<void()> sleep)>;

class AroundWaitScope {
 public:
  explicit AroundWaitScope(AroundWait around) noexcept;
  // Waits on this thread sleep as they are.
  AroundWaitScope() noexcept;
  ~AroundWaitScope();
  AroundWaitScope(const AroundWaitScope&) = delete;
  AroundWaitScope& operator=(const AroundWaitScope&) = delete;

 private:
  std::optional<AroundWait> around_;
  const AroundWait* outer_;
};

// Runs `sleep` inside the calling thread's wrapper, or bare without one.
void sleep_around(FunctionRef<void()> sleep) noexcept;

}  // namespace quarnel::engine::pool
