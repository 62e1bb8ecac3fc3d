#pragma once
// The random first pick of a MaxMin run without first picks, drawn exactly
// as RDKit draws it so that a seed gives RDKit's picks: a Mersenne twister
// (boost's mt19937 is std::mt19937) seeded with the seed, read through
// boost's uniform_int algorithm, which divides the 32-bit range into equal
// buckets and draws again past the last whole bucket.

#include <cstdint>
#include <random>

namespace quarnel::engine {

// A row of [0, pool_rows) for 1 <= pool_rows <= 2^32 - 1; a negative seed
// seeds from the system's random device, as RDKit does.
inline std::uint64_t draw_first_pick(std::int64_t seed, std::uint64_t pool_rows) {
  const std::uint32_t seed_value =
      seed >= 0 ? static_cast<std::uint32_t>(seed) : static_cast<std::uint32_t>(std::random_device()());
  std::mt19937 generator(seed_value);
  constexpr std::uint64_t draw_range = UINT32_MAX;  // the largest draw, less the smallest (0)
  std::uint64_t bucket = draw_range / pool_rows;
  if (draw_range % pool_rows == pool_rows - 1) ++bucket;
  for (;;) {
    const std::uint64_t pick = static_cast<std::uint64_t>(generator()) / bucket;
    if (pick < pool_rows) return pick;
  }
}

}  // namespace quarnel::engine
