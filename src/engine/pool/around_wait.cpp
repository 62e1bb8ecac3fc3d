#include "engine/pool/around_wait.hpp"

namespace quarnel::engine::pool {
namespace {

// initial-exec, as for the stop check (stop_check.cpp).
[[gnu::tls_model("initial-exec")]] thread_local const AroundWait* current_around = nullptr;

}  // namespace

AroundWaitScope::AroundWaitScope(AroundWait around) noexcept : around_(around), outer_(current_around) {
  current_around = &*around_;
}

AroundWaitScope::AroundWaitScope() noexcept : outer_(current_around) { current_around = nullptr; }

AroundWaitScope::~AroundWaitScope() { current_around = outer_; }

// noexcept: a wrapper that threw would unwind out of run() while workers
// still use the job in its frame; terminate instead.
void sleep_around(FunctionRef<void()> sleep) noexcept {
  if (current_around == nullptr) {
    sleep();
  } else {
    (*current_around)(sleep);
  }
}

}  // namespace quarnel::engine::pool
