#include "engine/pool/shared_pools.hpp"

#include <pthread.h>

#include <cerrno>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "engine/pool/start_pool.hpp"

namespace quarnel::engine::pool {
namespace {

// For a call of n_threads: a pool with enough workers over one without;
// among those with enough the smaller, which leaves a larger one to a
// larger call; among those without, the larger (it is replaced by one with
// enough, so the idle workers never pile up).
bool serves_better(unsigned size, unsigned other, unsigned n_threads) {
  const bool fits = size >= n_threads;
  const bool other_fits = other >= n_threads;
  if (fits != other_fits) return fits;
  return fits ? size < other : size > other;
}

class SharedPools {
 public:
  // Never destroyed: idle workers hold on to their pools until the process
  // ends, after every static destructor.
  static SharedPools& instance() {
    static SharedPools* const pools = new SharedPools();
    return *pools;
  }

  // The idle pool that serves a call of n_threads best, taken out of the
  // idle ones; none when there is none.
  std::shared_ptr<PoolState> take(unsigned n_threads, std::uint64_t& fork_generation) {
    const std::lock_guard<std::mutex> hold(lock_);
    fork_generation = fork_generation_;
    if (idle_.empty()) return nullptr;
    std::size_t best = 0;
    for (std::size_t i = 1; i < idle_.size(); ++i) {
      if (serves_better(idle_[i]->n_threads, idle_[best]->n_threads, n_threads)) best = i;
    }
    std::shared_ptr<PoolState> pool = std::move(idle_[best]);
    idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(best));
    return pool;
  }

  std::vector<std::shared_ptr<PoolState>> take_all() {
    const std::lock_guard<std::mutex> hold(lock_);
    // Moved out one by one: idle_ keeps its reserved room.
    std::vector<std::shared_ptr<PoolState>> all(std::make_move_iterator(idle_.begin()),
                                                std::make_move_iterator(idle_.end()));
    idle_.clear();
    return all;
  }

  // Keeps the pool if there is room and it belongs to this process.
  bool keep(PoolLease& lease) noexcept {
    const std::lock_guard<std::mutex> hold(lock_);
    if (lease.fork_generation != fork_generation_ || idle_.size() >= max_idle_pools) return false;
    idle_.push_back(std::move(lease.pool));
    return true;
  }

 private:
  SharedPools() {
    // Reserved now, so that giving back never allocates.
    idle_.reserve(max_idle_pools);
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
  }

  // Held across fork(), so the child's copy is never caught half-changed.
  static void before_fork() { instance().lock_.lock(); }
  static void after_fork_in_parent() { instance().lock_.unlock(); }
  static void after_fork_in_child() {
    SharedPools& self = instance();
    // The workers did not come along.  Their shares keep each pool's state
    // allocated for good, so letting go of ours frees nothing.
    self.idle_.clear();
    ++self.fork_generation_;
    self.lock_.unlock();
  }

  std::mutex lock_;
  std::vector<std::shared_ptr<PoolState>> idle_;
  std::uint64_t fork_generation_ = 0;
};

}  // namespace

Result<PoolLease> take_shared_pool(unsigned n_threads) {
  SharedPools* pools = nullptr;
  try {
    pools = &SharedPools::instance();
  } catch (const std::bad_alloc&) {
    return make_error(ErrorKind::runtime_error, describe_os_error(ENOMEM));
  }
  PoolLease lease;
  lease.pool = pools->take(n_threads, lease.fork_generation);
  if (!lease.pool || lease.pool->n_threads < n_threads) {
    // Too small: its workers leave before the new ones start, so growing
    // never needs room for both.
    if (lease.pool) lease.pool->shutdown();
    QUARNEL_TRY(started, start_pool(n_threads));
    lease.pool = std::move(started);
  }
  lease.pool->set_call_threads(n_threads);
  return lease;
}

void give_back_shared_pool(PoolLease lease) noexcept {
  if (!lease.pool) return;
  if (!lease.pool->stop_requested() && SharedPools::instance().keep(lease)) return;
  lease.pool->shutdown();
}

namespace detail {

void drop_idle_shared_pools() {
  for (const std::shared_ptr<PoolState>& pool : SharedPools::instance().take_all()) pool->shutdown();
}

}  // namespace detail

}  // namespace quarnel::engine::pool
