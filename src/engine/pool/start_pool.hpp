#pragma once
// Starting a pool's worker threads.  Each thread holds a share of the
// pool's state until it leaves (worker.hpp), so the state outlives every
// handle to it for as long as a worker still runs.

#include <cstdint>
#include <memory>

#include "common/result.hpp"
#include "engine/pool/pool_state.hpp"

namespace quarnel::engine::pool {

// A pool with `count` running workers.  On failure the error is a
// runtime_error whose message is the system's description of why a thread
// could not be started ("{text} (os error {n})"); the threads already
// started have been told to exit.
Result<std::shared_ptr<PoolState>> start_pool(unsigned count);

}  // namespace quarnel::engine::pool
