#pragma once
// The pools kept between engine calls, for the whole process.  A call takes
// one (starting one only when none is idle, or growing one too small), runs
// on its first n workers, and gives it back; the workers wait parked in
// between, so a call pays for no thread it did not need before.  A pool
// serves one call at a time: calls made at once from several threads take
// different pools.  A forked child has none of the parent's threads: it
// forgets the parent's pools and starts its own.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/result.hpp"
#include "engine/pool/pool_state.hpp"

namespace quarnel::engine::pool {

// Idle pools kept at most: about one per thread that calls at once.
inline constexpr std::size_t max_idle_pools = 4;

// A pool taken for one call.
struct PoolLease {
  std::shared_ptr<PoolState> pool;
  std::uint64_t fork_generation = 0;  // which process it was taken in
};

// A pool of at least n_threads (>= 1) workers, the first n_threads of them
// taking part in the call; errors as start_pool's.
Result<PoolLease> take_shared_pool(unsigned n_threads);

// Once the call is over and no job of it runs.  A pool that a stop check
// stopped is shut down instead (its workers leave, as those of a call's own
// pool do), and so is one beyond max_idle_pools or from before a fork.
void give_back_shared_pool(PoolLease lease) noexcept;

namespace detail {
// For tests: shuts down every idle pool, so that what the next calls start
// can be counted from nothing.
void drop_idle_shared_pools();
}  // namespace detail

}  // namespace quarnel::engine::pool
