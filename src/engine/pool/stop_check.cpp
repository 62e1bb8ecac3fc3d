#include "engine/pool/stop_check.hpp"

namespace quarnel::engine::pool {
namespace {

// initial-exec, as for the current worker (worker.cpp): no allocation on
// the thread's first use.
[[gnu::tls_model("initial-exec")]] thread_local const StopCheck* current_check = nullptr;

}  // namespace

StopCheckScope::StopCheckScope(StopCheck check) noexcept : check_(check), outer_(current_check) {
  current_check = &*check_;
}

StopCheckScope::StopCheckScope() noexcept : outer_(current_check) { current_check = nullptr; }

StopCheckScope::~StopCheckScope() { current_check = outer_; }

const StopCheck* current_stop_check() noexcept { return current_check; }

}  // namespace quarnel::engine::pool
