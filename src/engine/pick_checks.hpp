#pragma once
// The requests RDKit's pickers refuse, refused the same way (as
// ValueErrors) but with messages that name the values.

#include <cstdint>
#include <span>

#include "common/result.hpp"

namespace quarnel::engine {

// An empty pool, a negative n, n above the pool's size, or a first pick
// that is not a pool row.
Result<Ok> check_pick_request(std::uint64_t pool_rows, std::int64_t n,
                              std::span<const std::int64_t> first_picks);

}  // namespace quarnel::engine
