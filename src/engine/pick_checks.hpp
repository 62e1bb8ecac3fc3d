#pragma once
// The requests RDKit's pickers refuse, refused the same way (as
// ValueErrors) but with messages that name the values.

#include <cstdint>
#include <span>

#include "common/result.hpp"
#include "engine/metric.hpp"

namespace quarnel::engine {

// An empty pool, a negative n, n above the pool's size, or a first pick
// that is not a pool row.
Result<Ok> check_pick_request(std::uint64_t pool_rows, std::int64_t n,
                              std::span<const std::int64_t> first_picks);

// MaxMin and sphere exclusion need one distance per pair: Tversky only
// with alpha == beta.
Result<Ok> check_pick_metric(const MetricChoice& metric);

}  // namespace quarnel::engine
