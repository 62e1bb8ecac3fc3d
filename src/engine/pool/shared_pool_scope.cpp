#include "engine/pool/shared_pool_scope.hpp"

namespace quarnel::engine::pool {
namespace {

// initial-exec, as for the stop check (stop_check.cpp).
[[gnu::tls_model("initial-exec")]] thread_local bool current_shared = false;

}  // namespace

SharedPoolScope::SharedPoolScope(bool shared) noexcept : outer_(current_shared) { current_shared = shared; }

SharedPoolScope::~SharedPoolScope() { current_shared = outer_; }

bool shared_pool_in_scope() noexcept { return current_shared; }

}  // namespace quarnel::engine::pool
