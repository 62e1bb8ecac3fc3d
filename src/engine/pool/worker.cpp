#include "engine/pool/worker.hpp"
#include "engine/pool/worker_pool.hpp"

#include <sched.h>

namespace quarnel::engine::pool {

namespace {

// initial-exec: the slot is reserved when the module loads.  The default
// model for a loaded library allocates it on the thread's first use, and
// when memory is short that allocation aborts the whole process instead of
// failing the pool build cleanly.
[[gnu::tls_model("initial-exec")]] thread_local Worker* current_worker = nullptr;

// Polls of the event counter an idle worker makes before it sleeps: the
// first with a pause, the rest yielding the processor.  Short enough that
// the wait is brief, long enough that a split shortly after an idle moment
// rarely pays for a futex round trip.
constexpr int relax_rounds = 64;
constexpr int yield_rounds = 32;

}  // namespace

Worker::Worker(PoolState& pool, unsigned index) noexcept
    : pool_(pool), index_(index), rng_(index * 2654435761u + 0x9e3779b9u) {
  current_worker = this;
}

Worker::~Worker() { current_worker = nullptr; }

Worker* Worker::current() noexcept { return current_worker; }

bool stop_requested() noexcept {
  const Worker* worker = current_worker;
  return worker != nullptr && worker->pool().stop_requested();
}

bool Worker::push(JobHeader* job) noexcept {
  if (!pool_.deques[index_].push(job)) return false;
  pool_.sleep.announce_work(index_ + 1, pool_.call_threads());
  return true;
}

void Worker::pass_on(JobHeader* job) noexcept {
  // Published again from here, a worker of the call steals it (thieves try
  // every deque, and the push wakes one of them); only a full deque leaves
  // it to us.
  if (!push(job)) job->execute(*this, true);
}

JobHeader* Worker::steal() noexcept {
  const unsigned n = pool_.n_threads;
  if (n <= 1) return nullptr;
  // xorshift32: victims are tried from a random start so thieves spread out.
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 17;
  rng_ ^= rng_ << 5;
  unsigned victim = rng_ % n;
  for (unsigned i = 0; i < n; ++i, victim = (victim + 1 == n) ? 0 : victim + 1) {
    if (victim == index_) continue;
    for (;;) {
      const WorkDeque::Stolen stolen = pool_.deques[victim].steal();
      if (stolen.job != nullptr) return stolen.job;
      if (!stolen.contended) break;
    }
  }
  return nullptr;
}

void Worker::work_until(FunctionRef<bool()> stop, bool take_injected) noexcept {
  for (;;) {
    if (stop()) return;
    if (!pool_.takes_part(index_)) {
      // Outside the current call (only ever at top level: a call's own
      // workers keep their part until it ends).  Parked, not spinning, so
      // the call's workers keep the processors.
      PoolState& pool = pool_;
      const unsigned index = index_;
      pool_.sleep.park(index_, [&] { return stop() || pool.takes_part(index); });
      continue;
    }
    const std::uint32_t seen = pool_.sleep.events();
    if (JobHeader* job = pop()) {
      job->execute(*this, false);
      continue;
    }
    if (JobHeader* job = steal()) {
      // Our part was read before the theft; a new call may have begun
      // since with fewer workers.  Read again now: the theft saw the
      // piece's publication, which follows the call's store of its count.
      if (pool_.takes_part(index_)) {
        job->execute(*this, true);
      } else {
        pass_on(job);
      }
      continue;
    }
    // The same order for a handed-in job: seen first, then our part.
    if (take_injected && !pool_.injector.empty() && pool_.takes_part(index_)) {
      if (JobHeader* job = pool_.injector.pop()) {
        job->execute(*this, false);
        continue;
      }
    }
    // Nothing anywhere as of `seen`.  Watch the counter for a while before
    // sleeping; search again as soon as something is announced.
    bool announced = false;
    for (int round = 0; round < relax_rounds + yield_rounds; ++round) {
      if (stop()) return;
      if (pool_.sleep.events() != seen) {
        announced = true;
        break;
      }
      if (round < relax_rounds) {
        cpu_relax();
      } else {
        sched_yield();
      }
    }
    if (!announced) pool_.sleep.sleep(index_, seen, stop);
  }
}

void Worker::wait_until(const JobLatch& latch) noexcept {
  work_until([&latch] { return latch.probe(); }, false);
}

void Worker::main_loop() noexcept {
  PoolState& pool = pool_;
  // Leave only once nothing handed in is left, so no caller of run() can
  // be stranded by a shutdown that raced with it.
  work_until([&pool] { return pool.terminating() && pool.injector.empty(); }, true);
}

}  // namespace quarnel::engine::pool
