// The pools kept between calls: reuse, growth, the thread count each call
// runs on, a stopped call, calls too small to share, and several callers at
// once.  Thread starts are counted through the spawn hook.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/pool/shared_pool_scope.hpp"
#include "engine/pool/shared_pools.hpp"
#include "engine/pool/spawn.hpp"
#include "engine/pool/stop_check.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine::pool {
namespace {

std::atomic<int> spawned{0};

int counting_spawn(ThreadEntry entry, void* arg) {
  spawned.fetch_add(1);
  return detail::spawn_detached(entry, arg);
}

// Every test starts from no idle pool and counts the threads it starts.
class SharedPools : public ::testing::Test {
 protected:
  void SetUp() override {
    detail::drop_idle_shared_pools();
    spawned = 0;
    detail::set_spawn_override(&counting_spawn);
  }
  void TearDown() override {
    detail::set_spawn_override(nullptr);
    detail::drop_idle_shared_pools();
  }
};

constexpr std::uint64_t shared_work = UINT64_MAX;  // never run on the caller

struct CallSeen {
  std::set<std::thread::id> threads;  // that ran a piece
  bool every_row_once = true;
};

// One engine call as a driver makes it: its workers, one row loop, shutdown.
CallSeen call(std::int32_t n_threads, std::uint64_t work = shared_work, std::size_t n_rows = 4000) {
  const SharedPoolScope shared(true);
  Result<WorkerPool> workers = WorkerPool::for_call(n_threads, work);
  if (!workers) throw std::runtime_error(workers.error().message);
  std::mutex mutex;
  CallSeen seen;
  std::vector<std::atomic<int>> hits(n_rows);
  workers->run([&] {
    parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      for (std::size_t row = first; row < last; ++row) ++hits[row];
      // Long enough that every worker of the call can take a share.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      const std::lock_guard<std::mutex> lock(mutex);
      seen.threads.insert(std::this_thread::get_id());
    });
  });
  workers->shutdown();
  for (const auto& hit : hits) seen.every_row_once = seen.every_row_once && hit.load() == 1;
  return seen;
}

TEST_F(SharedPools, CallsReuseTheWorkersTheFirstStarted) {
  EXPECT_LE(call(2).threads.size(), 2u);
  EXPECT_EQ(spawned.load(), 2);
  for (int round = 0; round < 50; ++round) {
    const CallSeen seen = call(2);
    ASSERT_TRUE(seen.every_row_once);
    ASSERT_EQ(seen.threads.count(std::this_thread::get_id()), 0u);
  }
  EXPECT_EQ(spawned.load(), 2);
}

TEST_F(SharedPools, ALargerCallGrowsThePoolAndASmallerOneUsesOnlyItsCount) {
  call(2);
  call(4);
  EXPECT_EQ(spawned.load(), 2 + 4);  // the pool of two was replaced
  for (std::int32_t n : {3, 1, 4, 2}) {
    const CallSeen seen = call(n);
    EXPECT_TRUE(seen.every_row_once);
    EXPECT_LE(seen.threads.size(), static_cast<std::size_t>(n)) << n << " threads asked";
  }
  EXPECT_EQ(spawned.load(), 6);
}

TEST_F(SharedPools, ASmallCallRunsOnTheCallerAlone) {
  const CallSeen seen = call(4, caller_work_limit, 100);
  EXPECT_TRUE(seen.every_row_once);
  EXPECT_EQ(seen.threads, std::set<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(spawned.load(), 0);
}

TEST_F(SharedPools, AStoppedCallsPoolIsNotReused) {
  call(2);
  {
    const SharedPoolScope shared(true);
    Result<WorkerPool> workers = WorkerPool::for_call(2, shared_work);
    ASSERT_TRUE(workers.has_value());
    auto stop = [] { return true; };
    const StopCheckScope stopping(stop);
    workers->run([] { std::this_thread::sleep_for(std::chrono::milliseconds(120)); });
    EXPECT_TRUE(workers->stop_requested());
  }
  EXPECT_EQ(spawned.load(), 2);
  EXPECT_TRUE(call(2).every_row_once);
  EXPECT_EQ(spawned.load(), 4);  // a fresh pool
}

TEST_F(SharedPools, CallersAtOnceEachGetWorkersOfTheirOwn) {
  std::atomic<bool> all_right{true};
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 20; ++round) {
        const std::int32_t n = 1 + (c + round) % 3;
        const CallSeen seen = call(n, shared_work, 500);
        if (!seen.every_row_once || seen.threads.size() > static_cast<std::size_t>(n)) all_right = false;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_TRUE(all_right.load());
}

}  // namespace
}  // namespace quarnel::engine::pool
