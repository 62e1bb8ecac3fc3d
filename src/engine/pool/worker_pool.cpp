#include "engine/pool/worker_pool.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "engine/pool/around_wait.hpp"
#include "engine/pool/job.hpp"
#include "engine/pool/pool_state.hpp"
#include "engine/pool/shared_pool_scope.hpp"
#include "engine/pool/shared_pools.hpp"
#include "engine/pool/start_pool.hpp"
#include "engine/pool/stop_check.hpp"
#include "engine/pool/thread_count.hpp"
#include "engine/pool/worker.hpp"

namespace quarnel::engine::pool {

namespace {

// A check that threw would unwind out of run() while workers still use the
// job in its frame: terminate instead.
bool poll(const StopCheck& check) noexcept { return check(); }

unsigned requested_count(std::int32_t n_threads) {
  const unsigned wanted = n_threads >= 1 ? static_cast<unsigned>(n_threads) : default_thread_count();
  return std::min(wanted, max_thread_count);
}

}  // namespace

WorkerPool::WorkerPool(std::shared_ptr<PoolState> state, unsigned n_threads, Source source,
                       std::uint64_t fork_generation)
    : state_(std::move(state)), n_threads_(n_threads), source_(source), fork_generation_(fork_generation) {}

WorkerPool::WorkerPool(WorkerPool&& other) noexcept
    : state_(std::move(other.state_)),
      n_threads_(std::exchange(other.n_threads_, 0)),
      source_(other.source_),
      fork_generation_(other.fork_generation_) {}

WorkerPool& WorkerPool::operator=(WorkerPool&& other) noexcept {
  if (this != &other) {
    shutdown();
    state_ = std::move(other.state_);
    n_threads_ = std::exchange(other.n_threads_, 0);
    source_ = other.source_;
    fork_generation_ = other.fork_generation_;
  }
  return *this;
}

WorkerPool::~WorkerPool() { shutdown(); }

Result<WorkerPool> WorkerPool::create(std::int32_t n_threads) {
  const unsigned count = requested_count(n_threads);
  QUARNEL_TRY(state, start_pool(count));
  return WorkerPool(std::move(state), count, Source::own);
}

Result<WorkerPool> WorkerPool::for_call(std::int32_t n_threads, std::uint64_t pair_words) {
  if (!shared_pool_in_scope()) return create(n_threads);
  if (pair_words <= caller_work_limit) {
    // A pool with no threads, whose one worker is the caller (run_here).
    std::shared_ptr<PoolState> state;
    try {
      state = std::make_shared<PoolState>(1);
    } catch (const std::bad_alloc&) {
      return make_error(ErrorKind::runtime_error, describe_os_error(ENOMEM));
    }
    return WorkerPool(std::move(state), 1, Source::caller);
  }
  const unsigned count = requested_count(n_threads);
  QUARNEL_TRY(lease, take_shared_pool(count));
  return WorkerPool(std::move(lease.pool), count, Source::shared, lease.fork_generation);
}

unsigned WorkerPool::thread_count() const { return n_threads_; }

void WorkerPool::run_here(FunctionRef<void()> job) {
  // The loops inside find this thread as their worker, cut the rows for one
  // thread and publish halves that only this thread takes back.
  Worker self(*state_, 0);
  job();
}

void WorkerPool::run(FunctionRef<void()> job) {
  PoolState* pool = state_.get();
  const Worker* here = Worker::current();
  if (pool == nullptr || pool->terminating() || (here != nullptr && &here->pool() == pool)) {
    // No workers to hand it to (moved from or shut down), or we are one of
    // them and blocking would only take a worker away: run it here.
    job();
    return;
  }
  if (source_ == Source::caller) {
    // On a worker of another pool, that one is already this thread's.
    if (here != nullptr) {
      job();
    } else {
      run_here(job);
    }
    return;
  }

  // A job of a stopped call would only produce more partial results.
  if (pool->stop_requested()) return;

  auto call = [job](Worker&, bool) { job(); };
  StackJob<decltype(call)> handed_in(call, pool->sleep, JobLatch::external_waiter);
  pool->injector.push(&handed_in);
  pool->sleep.announce_work(0, pool->call_threads());
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
  if (!state_) return;
  switch (source_) {
    case Source::own:
      // The state stays referenced (as a moved-from handle's does not);
      // the workers drop their shares as they leave.
      if (!state_->terminating()) state_->shutdown();
      return;
    case Source::shared: give_back_shared_pool(PoolLease{std::move(state_), fork_generation_}); return;
    case Source::caller: state_.reset(); return;
  }
}

}  // namespace quarnel::engine::pool
