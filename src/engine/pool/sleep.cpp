#include "engine/pool/sleep.hpp"

#include <algorithm>

#include "engine/pool/futex.hpp"

namespace quarnel::engine::pool {

Sleep::Sleep(unsigned n_workers) : n_workers_(n_workers), words_(std::make_unique<SleepWord[]>(n_workers)) {}

void Sleep::announce_work(unsigned hint, unsigned n_awake) noexcept {
  // seq_cst, after the store that published the work: a worker whose search
  // missed that work read the counter before this increment, so its
  // pre-sleep recheck fails (or the futex refuses to sleep on the old value).
  events_.fetch_add(1, std::memory_order_seq_cst);
  // seq_cst: a sleeper that passed its recheck did so before our increment,
  // so its count and its word, written before that recheck, are seen here.
  if (sleeping_.load(std::memory_order_seq_cst) == 0) return;
  const unsigned n = std::min(n_awake, n_workers_);
  if (n == 0) return;
  unsigned k = hint % n;
  for (unsigned i = 0; i < n; ++i, k = (k + 1 == n) ? 0 : k + 1) {
    if (claim(k)) return;
  }
}

bool Sleep::claim(unsigned worker) noexcept {
  std::atomic<std::uint32_t>& word = words_[worker].value;
  // seq_cst load (see announce_work), then a seq_cst CAS that makes exactly
  // one party, a waker or the sleeper itself, the owner of this wake-up.
  if (word.load(std::memory_order_seq_cst) != 1) return false;
  std::uint32_t asleep = 1;
  if (!word.compare_exchange_strong(asleep, 0, std::memory_order_seq_cst, std::memory_order_relaxed)) {
    return false;
  }
  // relaxed: the count is a hint for wakers; the words decide.
  sleeping_.fetch_sub(1, std::memory_order_relaxed);
  futex_wake_one(word);
  return true;
}

void Sleep::sleep(unsigned worker, std::uint32_t seen, FunctionRef<bool()> stop) noexcept {
  std::atomic<std::uint32_t>& word = words_[worker].value;
  // Count first, then the word: whoever claims the word (and takes one off
  // the count) does so after our increment.  Both seq_cst, before the
  // recheck: a waker that comes after the recheck sees them.
  sleeping_.fetch_add(1, std::memory_order_seq_cst);
  word.store(1, std::memory_order_seq_cst);
  // seq_cst recheck: whoever published work or set our stop condition
  // before this point is seen here; whoever does it later sees our word.
  if (events_.load(std::memory_order_seq_cst) == seen && !stop()) {
    // acquire: a waker's writes before it cleared the word are visible.
    while (word.load(std::memory_order_acquire) == 1) futex_wait(word, 1);
    return;  // the waker took us off the count
  }
  // Not sleeping after all.  seq_cst exchange: if no waker claimed the word
  // meanwhile, we do, and take ourselves off the count.
  if (word.exchange(0, std::memory_order_seq_cst) == 1) {
    sleeping_.fetch_sub(1, std::memory_order_relaxed);
  }
}

void Sleep::park(unsigned worker, FunctionRef<bool()> stop) noexcept {
  std::atomic<std::uint32_t>& word = words_[worker].value;
  // As in sleep(), without the event counter: what is announced is not for
  // this worker.  A call that takes it on stores its thread count (read by
  // `stop`) before it announces work, so either the recheck sees the count
  // or the waker sees our word.
  sleeping_.fetch_add(1, std::memory_order_seq_cst);
  word.store(1, std::memory_order_seq_cst);
  if (!stop()) {
    while (word.load(std::memory_order_acquire) == 1) futex_wait(word, 1);
    return;
  }
  if (word.exchange(0, std::memory_order_seq_cst) == 1) {
    sleeping_.fetch_sub(1, std::memory_order_relaxed);
  }
}

void Sleep::wake_worker(unsigned worker) noexcept {
  // The latch was set (seq_cst) just before: either the sleeper's recheck
  // sees it, or the sleeper's word is 1 by the time claim() looks.
  claim(worker);
}

void Sleep::wake_all() noexcept {
  // seq_cst: spinning workers notice the change and look at their stop
  // condition again (the caller set it just before).
  events_.fetch_add(1, std::memory_order_seq_cst);
  for (unsigned k = 0; k < n_workers_; ++k) claim(k);
}

void Sleep::wait_external(std::uint32_t seen) const noexcept { futex_wait(external_, seen); }

void Sleep::wait_external_for(std::uint32_t seen, std::chrono::nanoseconds timeout) const noexcept {
  futex_wait_for(external_, seen, timeout);
}

void Sleep::notify_external() noexcept {
  // seq_cst, after the latch store: a waiter that missed the latch read the
  // counter before this increment, so its futex wait does not block.
  external_.fetch_add(1, std::memory_order_seq_cst);
  futex_wake_all(external_);
}

}  // namespace quarnel::engine::pool
