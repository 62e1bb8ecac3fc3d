#include "engine/pick_checks.hpp"

#include <string>

namespace quarnel::engine {

Result<Ok> check_pick_request(std::uint64_t pool_rows, std::int64_t n,
                              std::span<const std::int64_t> first_picks) {
  if (pool_rows == 0)
    return make_error(ErrorKind::value_error, "the pool is empty: there is nothing to pick from");
  if (n < 0) return make_error(ErrorKind::value_error, "n must be at least 0, not " + std::to_string(n));
  if (static_cast<std::uint64_t>(n) > pool_rows) {
    return make_error(ErrorKind::value_error, "cannot pick " + std::to_string(n) + " rows from a pool of " +
                                                  std::to_string(pool_rows));
  }
  for (const std::int64_t pick : first_picks) {
    if (pick < 0 || static_cast<std::uint64_t>(pick) >= pool_rows) {
      return make_error(ErrorKind::value_error, "first pick " + std::to_string(pick) +
                                                    " is not a row of the pool (0 to " +
                                                    std::to_string(pool_rows - 1) + ")");
    }
  }
  return Ok{};
}

}  // namespace quarnel::engine
