#include "engine/pick_checks.hpp"

#include <cstdio>
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

Result<Ok> check_pick_metric(const MetricChoice& metric) {
  if (metric.kind != MetricKind::tversky || metric.alpha == metric.beta) return Ok{};
  char weights[80];
  std::snprintf(weights, sizeof weights, "alpha=%.17g, beta=%.17g", metric.alpha, metric.beta);
  return make_error(ErrorKind::value_error,
                    std::string("picking needs a symmetric metric, not Tversky with ") + weights +
                        " (use alpha == beta, or another metric)");
}

}  // namespace quarnel::engine
