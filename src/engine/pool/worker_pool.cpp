#include "engine/pool/worker_pool.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "engine/pool/around_wait.hpp"
#include "engine/pool/job.hpp"
#include "engine/pool/pool_state.hpp"
#include "engine/pool/spawn.hpp"
#include "engine/pool/stop_check.hpp"
#include "engine/pool/thread_count.hpp"
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

// A check that threw would unwind out of run() while workers still use the
// job in its frame: terminate instead.
bool poll(const StopCheck& check) noexcept { return check(); }

Error thread_start_failure(int errnum) {
  return make_error(ErrorKind::runtime_error, describe_os_error(errnum));
}

}  // namespace

WorkerPool::WorkerPool(std::shared_ptr<PoolState> state) : state_(std::move(state)) {}
WorkerPool::WorkerPool(WorkerPool&&) noexcept = default;

WorkerPool& WorkerPool::operator=(WorkerPool&& other) noexcept {
  if (this != &other) {
    shutdown();
    state_ = std::move(other.state_);
  }
  return *this;
}

WorkerPool::~WorkerPool() { shutdown(); }

Result<WorkerPool> WorkerPool::create(std::int32_t n_threads) {
  const unsigned wanted = n_threads >= 1 ? static_cast<unsigned>(n_threads) : default_thread_count();
  const unsigned count = std::min(wanted, max_thread_count);

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
  return WorkerPool(std::move(state));
}

unsigned WorkerPool::thread_count() const { return state_ ? state_->n_threads : 0; }

void WorkerPool::run(FunctionRef<void()> job) {
  PoolState* pool = state_.get();
  const Worker* here = Worker::current();
  if (pool == nullptr || pool->terminating() || (here != nullptr && &here->pool() == pool)) {
    // No workers to hand it to (moved from or shut down), or we are one of
    // them and blocking would only take a worker away: run it here.
    job();
    return;
  }

  // A job of a stopped call would only produce more partial results.
  if (pool->stop_requested()) return;

  auto call = [job](Worker&, bool) { job(); };
  StackJob<decltype(call)> handed_in(call, pool->sleep, JobLatch::external_waiter);
  pool->injector.push(&handed_in);
  pool->sleep.announce_work(0);
  const StopCheck* check = current_stop_check();
  for (;;) {
    // Epoch before latch: a completion after the check moves the epoch off
    // the value we sleep on, so the wake cannot be missed.
    const std::uint32_t epoch = pool->sleep.external_epoch();
    if (handed_in.latch().probe()) break;
    if (check == nullptr) {
      sleep_around([&] { pool->sleep.wait_external(epoch); });
      continue;
    }
    sleep_around([&] { pool->sleep.wait_external_for(epoch, stop_check_interval); });
    if (!handed_in.latch().probe() && poll(*check)) {
      pool->request_stop();
      check = nullptr;  // asked once; now only the workers' exit matters
    }
  }
  handed_in.rethrow_if_failed();
}

bool WorkerPool::stop_requested() const { return state_ && state_->stop_requested(); }

void WorkerPool::shutdown() {
  // The state stays referenced (thread_count() still answers); the workers
  // drop their shares as they leave.
  if (state_ && !state_->terminating()) state_->shutdown();
}

}  // namespace quarnel::engine::pool
