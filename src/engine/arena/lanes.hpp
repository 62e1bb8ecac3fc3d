#pragma once
// How a search of few queries keeps every worker busy: each query's rows
// are split into lanes, so that queries times lanes reach the thread count.

#include <algorithm>
#include <cstdint>

#include "engine/pool/thread_count.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine::arena {

// One lane a query once there are queries enough for every worker.
inline std::uint64_t lanes_per_query(std::uint64_t n_queries, unsigned n_threads) {
  return n_queries >= n_threads ? 1 : (n_threads + n_queries - 1) / n_queries;
}

// The workers a call asking for n_threads gets (WorkerPool::create).
inline unsigned pool_size(std::int32_t n_threads) {
  const unsigned wanted = n_threads >= 1 ? static_cast<unsigned>(n_threads) : pool::default_thread_count();
  return std::min(wanted, pool::max_thread_count);
}

}  // namespace quarnel::engine::arena
