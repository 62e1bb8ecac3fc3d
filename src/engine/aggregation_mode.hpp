#pragma once

#include <cstdint>

namespace quarnel::engine {

// The codes the drivers take; `topk` is understood by the cross-set driver only.
enum class AggregationMode : std::uint64_t {
  mean = 0,
  max = 1,
  min = 2,
  full = 3,
  topk = 4,
};

}  // namespace quarnel::engine
