#pragma once
// Sphere exclusion with the picks of RDKit's
// LeaderPicker.LazyBitVectorPick(fps, n_rows, 1 - threshold, n, first_picks):
// the first picks exclude their spheres, then the lowest row left is picked
// and excludes its own, and so on.  A row lies within a pick's sphere when
// 1 - Tanimoto <= 1 - threshold, both computed in double as RDKit does;
// under another metric, 1 - score, as LeaderPicker.LazyPick has it when
// handed that distance.

#include <cstdint>
#include <span>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/metric.hpp"
#include "engine/pick_progress.hpp"
#include "engine/pick_source.hpp"

namespace quarnel::engine {

struct LeaderRequest {
  double threshold;                           // similarity, from 0.0 to 1.0
  std::int64_t n;                             // at most this many picks, first picks included; 0: no limit
  std::span<const std::int64_t> first_picks;  // pool rows, picked first, in order
  std::int32_t n_threads;
  MetricChoice metric;  // symmetric; distance 1 - score
};

// The picks are the same for every thread count.  `progress`, if given,
// hears how many rows are covered: the leading rows, each picked or within
// a pick's sphere; all of them once the pool is used up.
Result<OwnedBuffer<std::int64_t>> leader_pick(PickSource pool, std::uint64_t n_words,
                                              const LeaderRequest& request,
                                              const ProgressHook* progress = nullptr);

}  // namespace quarnel::engine
