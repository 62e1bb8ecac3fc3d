#include "engine/pool/start_pool.hpp"

#include <cerrno>
#include <new>

#include "engine/pool/spawn.hpp"
#include "engine/pool/worker.hpp"

namespace quarnel::engine::pool {
namespace {

// What a new thread is handed: its share of the pool and its index.
struct WorkerStart {
  std::shared_ptr<PoolState> pool;
  unsigned index;
};

void* worker_entry(void* raw) {
  // The thread owns its share of the pool until it returns; if it is the
  // last owner, the pool's state is freed here.
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(raw));
  Worker worker(*start->pool, start->index);
  worker.main_loop();
  return nullptr;
}

Error thread_start_failure(int errnum) {
  return make_error(ErrorKind::runtime_error, describe_os_error(errnum));
}

}  // namespace

Result<std::shared_ptr<PoolState>> start_pool(unsigned count) {
  std::shared_ptr<PoolState> state;
  try {
    state = std::make_shared<PoolState>(count);
  } catch (const std::bad_alloc&) {
    return thread_start_failure(ENOMEM);
  }

  for (unsigned index = 0; index < count; ++index) {
    auto* start = new (std::nothrow) WorkerStart{state, index};
    const int rc = start == nullptr ? ENOMEM : spawn_worker_thread(&worker_entry, start);
    if (rc != 0) {
      delete start;
      // The threads already running see the signal and leave on their own.
      state->shutdown();
      return thread_start_failure(rc);
    }
  }
  return state;
}

}  // namespace quarnel::engine::pool
