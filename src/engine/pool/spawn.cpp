#include "engine/pool/spawn.hpp"

#include <pthread.h>

#include <atomic>

namespace quarnel::engine::pool {

namespace {

// relaxed: set by a test before it builds a pool, on the same thread.
std::atomic<detail::SpawnFn> spawn_override{nullptr};

}  // namespace

namespace detail {

void set_spawn_override(SpawnFn fn) noexcept { spawn_override.store(fn, std::memory_order_relaxed); }

int spawn_detached(ThreadEntry entry, void* arg) noexcept {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_attr_setstacksize(&attr, worker_stack_size);
  if (rc == 0) {
    pthread_t thread;
    rc = pthread_create(&thread, &attr, entry, arg);
    // Never joined: the thread frees its own resources when it ends.
    if (rc == 0) pthread_detach(thread);
  }
  pthread_attr_destroy(&attr);
  return rc;
}

}  // namespace detail

int spawn_worker_thread(ThreadEntry entry, void* arg) noexcept {
  if (detail::SpawnFn fn = spawn_override.load(std::memory_order_relaxed)) return fn(entry, arg);
  return detail::spawn_detached(entry, arg);
}

}  // namespace quarnel::engine::pool
