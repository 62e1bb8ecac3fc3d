#pragma once
// The engine's errors about its pool, and its way of running a job there.

#include "common/error.hpp"
#include "common/function_ref.hpp"
#include "common/result.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine {

inline Error pool_build_error(const Error& cause) {
  return make_error(ErrorKind::runtime_error, "Failed to build thread pool: " + cause.message);
}

inline Error interrupted_error() { return make_error(ErrorKind::interrupted, "the call was interrupted"); }

// Runs `job` on the pool; the interrupted error when the caller's stop check
// stopped it, whose results are then partial and must not be used.
inline Result<Ok> run_on_pool(pool::WorkerPool& pool, FunctionRef<void()> job) {
  pool.run(job);
  if (pool.stop_requested()) return interrupted_error();
  return Ok{};
}

}  // namespace quarnel::engine
