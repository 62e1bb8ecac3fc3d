#pragma once
// Starting a worker thread: a 2 MiB stack, detached at once, no name.

#include <cstddef>

namespace quarnel::engine::pool {

using ThreadEntry = void* (*)(void*);

inline constexpr std::size_t worker_stack_size = 2 * 1024 * 1024;

// Starts entry(arg) on a new detached thread.  Returns 0, or the error
// number pthread gave; on failure nothing was started and `arg` is still
// the caller's.
int spawn_worker_thread(ThreadEntry entry, void* arg) noexcept;

namespace detail {

// For tests: replaces thread creation (null restores the real one), so the
// failure path can be driven without exhausting the system's threads.
using SpawnFn = int (*)(ThreadEntry entry, void* arg);
void set_spawn_override(SpawnFn fn) noexcept;

// The real thing, for overrides that fail only some of the time.
int spawn_detached(ThreadEntry entry, void* arg) noexcept;

}  // namespace detail

}  // namespace quarnel::engine::pool
