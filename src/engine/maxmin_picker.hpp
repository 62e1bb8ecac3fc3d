#pragma once
// MaxMin diversity picking with the picks of RDKit's
// MaxMinPicker.LazyBitVectorPick: each pick is the pool row farthest from
// every pick so far (distance 1 - Tanimoto), the lowest such row on a tie.
// Under another metric the distance is 1 - score, compared in double as
// RDKit's MaxMinPicker.LazyPick compares the distances it is handed.

#include <cstdint>
#include <span>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/metric.hpp"
#include "engine/pick_progress.hpp"
#include "engine/pick_source.hpp"

namespace quarnel::engine {

struct MaxMinRequest {
  std::int64_t n;                             // pool rows to pick, first picks included
  std::int64_t seed;                          // of the random first pick; negative: the system's
  std::span<const std::int64_t> first_picks;  // pool rows, picked first, in order
  std::int32_t n_threads;
  MetricChoice metric;  // symmetric; distance 1 - score
};

// `references` (possibly none) count as picks made before the first pick:
// the result is RDKit's on references + pool with the references as first
// picks, less the references, in pool row numbers.  Both sets have n_words
// words per row.  The picks are the same for every thread count.
// `progress`, if given, hears the number of pool rows picked so far.
Result<OwnedBuffer<std::int64_t>> maxmin_pick(PickSource pool, PickSource references, std::uint64_t n_words,
                                              const MaxMinRequest& request,
                                              const ProgressHook* progress = nullptr);

}  // namespace quarnel::engine
