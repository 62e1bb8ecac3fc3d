// The worker pool: row coverage, the shape of the cut, visibility of the
// workers' writes, exceptions, nested joins, and the threads' life.

#include <dirent.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/pool/around_wait.hpp"
#include "engine/pool/join.hpp"
#include "engine/pool/spawn.hpp"
#include "engine/pool/splitter.hpp"
#include "engine/pool/stop_check.hpp"
#include "engine/pool/thread_count.hpp"
#include "engine/pool/worker.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine::pool {
namespace {

using Piece = std::pair<std::size_t, std::size_t>;
using Clock = std::chrono::steady_clock;

WorkerPool make_pool(std::int32_t n_threads) {
  Result<WorkerPool> pool = WorkerPool::create(n_threads);
  // gtest reports an exception escaping a test as that test's failure.
  if (!pool) throw std::runtime_error("cannot build a pool: " + pool.error().message);
  return std::move(pool).value();
}

// Runs one row loop and returns its pieces in the order they started.
std::vector<Piece> pieces_of(WorkerPool& pool, std::size_t n_rows) {
  std::mutex mutex;
  std::vector<Piece> pieces;
  pool.run([&] {
    parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      std::lock_guard<std::mutex> lock(mutex);
      pieces.emplace_back(first, last);
    });
  });
  return pieces;
}

std::size_t live_threads() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
}

// Threads leave on their own after shutdown; give them a generous while.
bool threads_settle_to(std::size_t limit) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (live_threads() > limit) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(ParallelForRows, EveryRowOnceInDisjointPiecesOnWorkers) {
  const std::size_t sizes[] = {0, 1, 2, 3, 5, 8, 17, 64, 1000, 10007};
  for (std::int32_t threads : {1, 2, 3, 4, 7, 8}) {
    WorkerPool pool = make_pool(threads);
    ASSERT_EQ(pool.thread_count(), static_cast<unsigned>(threads));
    for (std::size_t n : sizes) {
      SCOPED_TRACE(testing::Message() << "threads=" << threads << " n_rows=" << n);
      std::vector<std::atomic<int>> hits(n);
      std::atomic<bool> on_caller{false};
      const std::thread::id caller = std::this_thread::get_id();
      std::mutex mutex;
      std::vector<Piece> pieces;
      pool.run([&] {
        parallel_for_rows(n, [&](std::size_t first, std::size_t last) {
          if (std::this_thread::get_id() == caller) on_caller = true;
          for (std::size_t row = first; row < last; ++row) hits[row].fetch_add(1);
          std::lock_guard<std::mutex> lock(mutex);
          pieces.emplace_back(first, last);
        });
      });
      EXPECT_FALSE(on_caller) << "the caller of run() must not do a share";
      for (std::size_t row = 0; row < n; ++row) ASSERT_EQ(hits[row].load(), 1) << "row " << row;
      // Sorted, the pieces must tile [0, n) exactly: no gap, no overlap, none empty.
      std::sort(pieces.begin(), pieces.end());
      std::size_t next = 0;
      for (const Piece& piece : pieces) {
        EXPECT_EQ(piece.first, next);
        EXPECT_LT(piece.first, piece.second);
        next = piece.second;
      }
      EXPECT_EQ(next, n);
      if (n == 0) {
        EXPECT_TRUE(pieces.empty());
      }
      if (n == 1) {
        EXPECT_EQ(pieces, (std::vector<Piece>{{0, 1}}));
      }
    }
  }
}

TEST(ParallelForRows, OneThreadCutsOnceLeftHalfFirst) {
  WorkerPool pool = make_pool(1);
  for (std::size_t n : {2u, 3u, 100u, 1001u}) {
    EXPECT_EQ(pieces_of(pool, n), (std::vector<Piece>{{0, n / 2}, {n / 2, n}})) << "n_rows=" << n;
  }
}

// The cut a loop gets when no half is ever taken by a thief.
void cut_unstolen(std::size_t first, std::size_t last, Splitter splitter, std::vector<Piece>& out) {
  if (!splitter.try_split(last - first, false)) {
    out.emplace_back(first, last);
    return;
  }
  const std::size_t mid = split_point(first, last);
  cut_unstolen(first, mid, splitter, out);
  cut_unstolen(mid, last, splitter, out);
}

TEST(Splitter, UnstolenLoopEndsInTwoToTheBPlusOneEvenPieces) {
  const std::pair<unsigned, std::size_t> expected[] = {{1, 2},  {2, 4},  {3, 4},   {6, 8},
                                                       {8, 16}, {9, 16}, {16, 32}, {65535, 65536}};
  for (auto [threads, n_pieces] : expected) {
    std::vector<Piece> pieces;
    cut_unstolen(0, 1000003, Splitter(threads), pieces);
    ASSERT_EQ(pieces.size(), n_pieces) << "threads=" << threads;
    std::size_t smallest = SIZE_MAX, largest = 0;
    for (auto [first, last] : pieces) {
      smallest = std::min(smallest, last - first);
      largest = std::max(largest, last - first);
    }
    EXPECT_LE(largest - smallest, 1u) << "threads=" << threads;
  }
  // Never below one row.
  std::vector<Piece> pieces;
  cut_unstolen(0, 5, Splitter(8), pieces);
  EXPECT_EQ(pieces, (std::vector<Piece>{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}));
}

TEST(Splitter, TheftRenewsTheBudget) {
  Splitter splitter(4);
  EXPECT_TRUE(splitter.try_split(100, false));  // 4 -> 2
  EXPECT_TRUE(splitter.try_split(100, false));  // 2 -> 1
  EXPECT_TRUE(splitter.try_split(100, false));  // 1 -> 0
  EXPECT_FALSE(splitter.try_split(100, false));
  EXPECT_TRUE(splitter.try_split(100, true));  // back to max(4, 0 / 2)
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(splitter.try_split(100, false));
  EXPECT_FALSE(splitter.try_split(100, false));
  EXPECT_FALSE(splitter.try_split(1, true));  // one row is never cut
}

TEST(WorkerPool, WorkersWritesAreVisibleAfterRun) {
  WorkerPool pool = make_pool(4);
  std::vector<std::uint64_t> out(20000);  // plain memory: run() is the only synchronisation
  for (std::uint64_t round = 1; round <= 3; ++round) {
    pool.run([&] {
      parallel_for_rows(out.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t row = first; row < last; ++row) out[row] = row * round + 1;
      });
    });
    for (std::size_t row = 0; row < out.size(); ++row) ASSERT_EQ(out[row], row * round + 1);
  }
}

TEST(WorkerPool, WorkersAreDetachedWithTwoMebibyteStacks) {
  WorkerPool pool = make_pool(2);
  int detach_state = -1;
  std::size_t stack_size = 0;
  bool on_caller = true;
  const pthread_t caller = pthread_self();
  pool.run([&] {
    on_caller = pthread_equal(pthread_self(), caller) != 0;
    pthread_attr_t attr;
    ASSERT_EQ(pthread_getattr_np(pthread_self(), &attr), 0);
    pthread_attr_getdetachstate(&attr, &detach_state);
    pthread_attr_getstacksize(&attr, &stack_size);
    pthread_attr_destroy(&attr);
  });
  EXPECT_FALSE(on_caller);
  EXPECT_EQ(detach_state, PTHREAD_CREATE_DETACHED);
  // glibc may hand a new thread a cached, somewhat larger stack of an
  // exited one, so only the lower bound is ours to check.
  EXPECT_GE(stack_size, 2097152u);
}

TEST(WorkerPool, IdleWorkersTakeAShareOfTheLoop) {
  // Each piece holds its worker until every worker has started a piece, so
  // this finishes promptly only if published halves reach all the others.
  constexpr unsigned threads = 4;
  WorkerPool pool = make_pool(threads);
  std::mutex mutex;
  std::set<std::thread::id> seen;
  pool.run([&] {
    parallel_for_rows(64, [&](std::size_t, std::size_t) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(std::this_thread::get_id());
      }
      const auto deadline = Clock::now() + std::chrono::seconds(30);
      for (;;) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          if (seen.size() >= threads) break;
        }
        if (Clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  });
  EXPECT_EQ(seen.size(), threads);
}

TEST(WorkerPool, ExceptionsReachTheCallerAndThePoolStaysUsable) {
  WorkerPool pool = make_pool(4);
  EXPECT_THROW(pool.run([&] {
    parallel_for_rows(1000, [&](std::size_t first, std::size_t last) {
      if (first <= 637 && 637 < last) throw std::runtime_error("row 637");
    });
  }),
               std::runtime_error);
  EXPECT_THROW(pool.run([] { throw std::logic_error("job"); }), std::logic_error);

  std::vector<std::atomic<int>> hits(1000);
  pool.run([&] {
    parallel_for_rows(hits.size(), [&](std::size_t first, std::size_t last) {
      for (std::size_t row = first; row < last; ++row) ++hits[row];
    });
  });
  for (const auto& hit : hits) ASSERT_EQ(hit.load(), 1);
}

// A loop that would take minutes, checking for a stop between rows as the
// engine's loops do between blocks; counts the rows it did.
std::size_t run_long_loop(WorkerPool& pool, std::atomic<bool>& started) {
  std::atomic<std::size_t> done{0};
  pool.run([&] {
    parallel_for_rows(1'000'000, [&](std::size_t first, std::size_t last) {
      started = true;
      for (std::size_t row = first; row < last && !stop_requested(); ++row) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ++done;
      }
    });
  });
  return done.load();
}

TEST(WorkerPool, AStopCheckStopsTheJobAndLaterRuns) {
  WorkerPool pool = make_pool(2);
  std::atomic<bool> started{false};
  int polls = 0;
  auto check = [&] { return ++polls, started.load(); };
  std::size_t done = 0;
  {
    StopCheckScope scope(check);
    done = run_long_loop(pool, started);
    EXPECT_TRUE(pool.stop_requested());
    EXPECT_GE(polls, 1);
    EXPECT_LT(done, 1'000'000u);
    // Stopped once, the pool runs nothing more, and asks no more.
    bool ran = false;
    const int polls_before = polls;
    pool.run([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_EQ(polls, polls_before);
  }
  EXPECT_GT(done, 0u);
}

TEST(WorkerPool, ACallWithoutCheckIsNotStoppedByAnOuterOne) {
  WorkerPool pool = make_pool(2);
  auto stop_at_once = [] { return true; };
  StopCheckScope outer(stop_at_once);
  StopCheckScope unstoppable;
  std::vector<std::atomic<int>> hits(50'000);
  pool.run([&] {
    parallel_for_rows(hits.size(), [&](std::size_t first, std::size_t last) {
      for (std::size_t row = first; row < last; ++row) {
        if (row % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
        ++hits[row];
      }
    });
  });
  EXPECT_FALSE(pool.stop_requested());
  for (const auto& hit : hits) ASSERT_EQ(hit.load(), 1);
}

// As the binding does with the interpreter lock: the caller holds a lock
// through run() but lets go of it while it sleeps, and polls with it held.
TEST(WorkerPool, TheCallerSleepsInsideItsWrapperAndPollsWithTheLockHeld) {
  WorkerPool pool = make_pool(2);
  std::mutex lock;
  std::unique_lock<std::mutex> held(lock);
  int sleeps = 0;
  auto unlocked = [&](FunctionRef<void()> sleep) {
    ++sleeps;
    held.unlock();
    sleep();
    held.lock();
  };
  bool polled_unlocked = false;
  auto check = [&] {
    polled_unlocked |= !held.owns_lock();
    return false;
  };
  std::atomic<bool> taken{false};
  std::thread other([&] {
    const std::lock_guard<std::mutex> guard(lock);
    taken = true;
  });
  bool seen_in_job = false;
  {
    StopCheckScope stoppable(check);
    AroundWaitScope scope(unlocked);
    // Ends once the other thread has had the lock, or gives up: a caller
    // that kept it would otherwise wait here for good.
    pool.run([&] {
      const auto deadline = Clock::now() + std::chrono::seconds(30);
      while (!taken && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      seen_in_job = taken;
    });
  }
  EXPECT_TRUE(held.owns_lock());
  held.unlock();
  other.join();
  EXPECT_TRUE(seen_in_job);
  EXPECT_GE(sleeps, 1);
  EXPECT_FALSE(polled_unlocked);
}

TEST(WorkerPool, AScopeWithoutWrapperHidesAnOuterOne) {
  WorkerPool pool = make_pool(2);
  int wrapped = 0;
  auto counting = [&](FunctionRef<void()> sleep) {
    ++wrapped;
    sleep();
  };
  auto slow_job = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  AroundWaitScope outer(counting);
  {
    AroundWaitScope bare;
    pool.run(slow_job);
  }
  EXPECT_EQ(wrapped, 0);
  pool.run(slow_job);
  EXPECT_GE(wrapped, 1);
}

std::uint64_t join_sum(Worker& worker, std::uint64_t first, std::uint64_t last) {
  if (last - first <= 8) {
    std::uint64_t sum = 0;
    for (std::uint64_t v = first; v < last; ++v) sum += v;
    return sum;
  }
  const std::uint64_t mid = first + (last - first) / 2;
  std::uint64_t left = 0, right = 0;
  join(
      worker, [&](Worker& self, bool) { left = join_sum(self, first, mid); },
      [&](Worker& self, bool) { right = join_sum(self, mid, last); });
  return left + right;
}

TEST(Join, NestedJoinsAndNestedLoops) {
  WorkerPool pool = make_pool(4);
  std::uint64_t sum = 0;
  pool.run([&] {
    Worker* worker = Worker::current();
    ASSERT_NE(worker, nullptr);
    sum = join_sum(*worker, 0, 100000);
  });
  EXPECT_EQ(sum, 100000ull * 99999 / 2);

  // A loop inside each piece of a loop: every cell once.
  constexpr std::size_t rows = 37, cols = 211;
  std::vector<std::atomic<int>> cells(rows * cols);
  pool.run([&] {
    parallel_for_rows(rows, [&](std::size_t r0, std::size_t r1) {
      for (std::size_t r = r0; r < r1; ++r) {
        parallel_for_rows(cols, [&](std::size_t c0, std::size_t c1) {
          for (std::size_t c = c0; c < c1; ++c) ++cells[r * cols + c];
        });
      }
    });
  });
  for (const auto& cell : cells) ASSERT_EQ(cell.load(), 1);
}

TEST(WorkerPool, ThreadCountFollowsTheRequest) {
  EXPECT_EQ(make_pool(3).thread_count(), 3u);
  const unsigned fallback = default_thread_count();
  EXPECT_GE(fallback, 1u);
  EXPECT_LE(fallback, max_thread_count);
  EXPECT_EQ(make_pool(0).thread_count(), fallback);
  EXPECT_EQ(make_pool(-5).thread_count(), fallback);
}

TEST(WorkerPool, SeveralCallersCanHandInJobsAtOnce) {
  WorkerPool pool = make_pool(3);
  std::vector<std::atomic<int>> hits(4 * 500);
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 10; ++round) {
        pool.run([&] {
          parallel_for_rows(500, [&](std::size_t first, std::size_t last) {
            for (std::size_t row = first; row < last; ++row) ++hits[c * 500 + row];
          });
        });
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (const auto& hit : hits) ASSERT_EQ(hit.load(), 10);
}

TEST(WorkerPool, AfterShutdownOrMoveRunStillDoesTheWork) {
  WorkerPool pool = make_pool(2);
  WorkerPool moved = std::move(pool);
  moved.shutdown();
  moved.shutdown();  // idempotent
  for (WorkerPool* p : {&pool, &moved}) {
    std::vector<int> hits(10);
    p->run([&] {
      parallel_for_rows(hits.size(), [&](std::size_t first, std::size_t last) {
        for (std::size_t row = first; row < last; ++row) ++hits[row];
      });
    });
    EXPECT_EQ(hits, std::vector<int>(10, 1));
  }
}

TEST(WorkerPool, ThreadsLeaveByThemselvesAfterShutdown) {
  const std::size_t before = live_threads();
  for (int cycle = 0; cycle < 200; ++cycle) {
    WorkerPool pool = make_pool(4);
    std::atomic<std::size_t> rows{0};
    pool.run(
        [&] { parallel_for_rows(100, [&](std::size_t first, std::size_t last) { rows += last - first; }); });
    ASSERT_EQ(rows.load(), 100u);
    if (cycle % 2 == 0) pool.shutdown();  // otherwise the destructor does it
  }
  EXPECT_TRUE(threads_settle_to(before)) << live_threads() << " threads, " << before << " before";
}

std::atomic<int> spawns_left{0};

int spawn_until_exhausted(ThreadEntry entry, void* arg) {
  if (spawns_left.fetch_sub(1) <= 0) return EAGAIN;
  return detail::spawn_detached(entry, arg);
}

TEST(WorkerPool, RefusedThreadFailsTheBuildAndReleasesTheOthers) {
  const std::size_t before = live_threads();
  spawns_left = 2;
  detail::set_spawn_override(&spawn_until_exhausted);
  Result<WorkerPool> pool = WorkerPool::create(6);
  detail::set_spawn_override(nullptr);
  ASSERT_FALSE(pool.has_value());
  EXPECT_EQ(pool.error().kind, ErrorKind::runtime_error);
  EXPECT_EQ(pool.error().message, describe_os_error(EAGAIN));
  EXPECT_NE(pool.error().message.find(" (os error 11)"), std::string::npos);
  EXPECT_TRUE(threads_settle_to(before)) << live_threads() << " threads, " << before << " before";
}

}  // namespace
}  // namespace quarnel::engine::pool
