#pragma once
// Whether the engine calls made on this thread run on the process's shared
// pools (shared_pools.hpp) or each build a pool of their own.  Set on the
// calling thread for one call, like the stop check; scopes nest and the
// innermost applies, so a call that must build its own pool does so even
// when made from inside a call on a shared one.

namespace quarnel::engine::pool {

class SharedPoolScope {
 public:
  explicit SharedPoolScope(bool shared) noexcept;
  ~SharedPoolScope();
  SharedPoolScope(const SharedPoolScope&) = delete;
  SharedPoolScope& operator=(const SharedPoolScope&) = delete;

 private:
  bool outer_;
};

// The innermost scope's choice; false outside every scope.
bool shared_pool_in_scope() noexcept;

}  // namespace quarnel::engine::pool
