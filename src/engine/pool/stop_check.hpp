#pragma once
// The check a thread waiting in WorkerPool::run polls to learn whether its
// call should stop (the binding's runs Python's signal handlers).  It is set
// on the calling thread for the length of one call, so nothing between the
// entry point and the pool has to pass it along.  Scopes nest, and the
// innermost applies: a call that must not stop sets a scope without a check,
// which hides the check of any call it runs inside.

#include <optional>

#include "common/function_ref.hpp"

namespace quarnel::engine::pool {

using StopCheck = FunctionRef<bool()>;

class StopCheckScope {
 public:
  // Waits for workers on this thread poll `check`, which must not throw;
  // true asks the call to stop.
  explicit StopCheckScope(StopCheck check) noexcept;
  // Calls on this thread are not stopped, whatever an outer scope says.
  StopCheckScope() noexcept;
  ~StopCheckScope();
  StopCheckScope(const StopCheckScope&) = delete;
  StopCheckScope& operator=(const StopCheckScope&) = delete;

 private:
  std::optional<StopCheck> check_;
  const StopCheck* outer_;
};

// The calling thread's check, or null when there is none.
const StopCheck* current_stop_check() noexcept;

}  // namespace quarnel::engine::pool
