#pragma once
// How a search of few queries keeps every worker busy: each query's rows
// are split into lanes, so that queries times lanes reach the thread count.

#include <cstdint>

namespace quarnel::engine::arena {

// One lane a query once there are queries enough for every worker.
inline std::uint64_t lanes_per_query(std::uint64_t n_queries, unsigned n_threads) {
  return n_queries >= n_threads ? 1 : (n_threads + n_queries - 1) / n_queries;
}

}  // namespace quarnel::engine::arena
