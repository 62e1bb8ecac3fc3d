#include "engine/arena/lane_topk.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <vector>

#include "engine/arena/group_walk.hpp"
#include "engine/arena/lanes.hpp"
#include "engine/arena/run_picker.hpp"
#include "engine/call_footprint.hpp"
#include "engine/call_work.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/query_groups.hpp"
#include "engine/row_scorers.hpp"
#include "engine/topk_heap.hpp"

namespace quarnel::engine::arena {
namespace {

constexpr double no_floor = -std::numeric_limits<double>::infinity();

// The highest minimum of one query's full lane heaps.  Any full heap's
// minimum is a score that k real pairs reach, so the query's k-th best is
// at least that: a row that cannot reach it is left out by every lane.
// Relaxed: a lane that reads an older, lower value only prunes less.
class SharedFloor {
 public:
  explicit SharedFloor(double* slot) : slot_(slot) {}

  double get() const { return std::atomic_ref<double>(*slot_).load(std::memory_order_relaxed); }

  void raise(double floor) const {
    std::atomic_ref<double> shared(*slot_);
    double now = shared.load(std::memory_order_relaxed);
    while (floor > now && !shared.compare_exchange_weak(now, floor, std::memory_order_relaxed)) {
    }
  }

 private:
  double* slot_;
};

// One lane of a query's walk over the count groups: lane l reads the runs
// l, l + lanes, ... of the walk.  Each lane stops once the walk's bound
// falls below what its own heap or any other lane's needs, so the lanes
// together read about what one walk would.
template <class Metric>
class LaneWalk {
 public:
  LaneWalk(const Metric& metric, const PreparedRows& db, const QueryRow& query, std::uint64_t kept,
           SharedFloor shared, std::uint64_t lane, std::uint64_t n_lanes)
      : metric_(metric),
        groups_(*db.groups),
        n_rows_(db.rows.n_rows),
        n_words_(db.rows.n_words),
        query_(query),
        kept_(kept),
        shared_(shared),
        lane_(lane),
        n_lanes_(n_lanes) {}

  void run(TopKHeap& heap, BlockScratch& scratch) {
    GroupWalk<Metric> walk(metric_, query_.count, groups_.counts.data(), n_rows_,
                           groups_.first_of(query_.count), block_rows_for(n_words_));
    RunPicker<Metric> picker(metric_, query_, groups_.segments.size() != 0);
    WalkRun run{};
    // Per run, not per pair: a stop is seen within one run's work.
    for (std::uint64_t j = 0; !pool::stop_requested() && walk.next(run, floor_of(heap)); ++j) {
      if (j % n_lanes_ != lane_) continue;
      score_run(run, floor_of(heap), heap, picker, scratch);
      if (heap.size() == kept_) shared_.raise(heap.min_score());
    }
  }

 private:
  double floor_of(const TopKHeap& heap) const {
    const double own = heap.size() == kept_ ? heap.min_score() : no_floor;
    return std::max(own, shared_.get());
  }

  void score_run(const WalkRun& run, double floor, TopKHeap& heap, RunPicker<Metric>& picker,
                 BlockScratch& scratch) const {
    const std::uint32_t* counts = groups_.counts.data() + run.first;
    const std::uint64_t* words = groups_.words.data() + run.first * n_words_;
    const std::uint32_t* row_of = groups_.row_of.data() + run.first;
    const std::uint32_t a = query_.count;
    std::uint32_t* common = scratch.and_counts.data();
    if (floor == no_floor) {
      scratch.kernel.and_count_rows(query_.words, words, run.n_rows, n_words_, common);
      for (std::size_t t = 0; t < run.n_rows; ++t)
        heap.offer(metric_.score(a, counts[t], common[t]), row_of[t]);
      return;
    }
    const std::uint8_t* segments =
        groups_.segments.size() == 0 ? nullptr : groups_.segments.data() + run.first * kernel::row_segments;
    const std::size_t n_picked = picker.pick(counts, segments, run.n_rows, floor, scratch);
    const std::uint32_t* picked = scratch.picked.data();
    scratch.kernel.and_count_picked(query_.words, words, picked, n_picked, n_words_, common);
    for (std::size_t p = 0; p < n_picked; ++p) {
      const std::uint32_t t = picked[p];
      heap.offer(metric_.score(a, counts[t], common[p]), row_of[t]);
    }
  }

  Metric metric_;
  const CountGroups& groups_;
  std::uint64_t n_rows_;
  std::uint64_t n_words_;
  const QueryRow& query_;
  std::uint64_t kept_;
  SharedFloor shared_;
  std::uint64_t lane_;
  std::uint64_t n_lanes_;
};

// One lane of a query's search of the rows in their own order: slice l of
// the window, scanned by the row-order engine's top-k scorer.  Within the
// lane rows come in increasing order, so an equal score never enters a
// full heap and the scorer's pruning (bound not above the minimum) leaves
// out no row of the lane's answer.
template <class Metric>
std::size_t scan_row_slice(const Metric& metric, const PreparedRows& db, DbWindow window,
                           const QueryRow& query, TopKEntry* storage, std::uint64_t kept, std::uint64_t lane,
                           std::uint64_t n_lanes, BlockScratch& scratch, std::uint32_t* indices,
                           double* scores) {
  const std::uint64_t first = window.first + window.n_rows * lane / n_lanes;
  const std::uint64_t end = window.first + window.n_rows * (lane + 1) / n_lanes;
  TopKRow<Metric> row(metric, storage, kept, first, query, TopKTies::lower_row);
  if (end > first) {
    const KeptCounts counts = db.kept_from(first);
    const RowSet set{db.rows.words + first * db.rows.n_words, counts.counts, end - first, counts.segments,
                     nullptr};
    scan_group(&row, &query, 1, set, scratch, [](std::size_t) -> std::uint64_t { return 0; });
  }
  const std::size_t size = row.size();
  if (indices != nullptr) row.write(indices, scores);
  return size;
}

// The lanes' heaps of query q merged into its result row.
void merge_lanes(const TopKEntry* lane_heaps, const std::size_t* lane_sizes, std::uint64_t lanes,
                 std::uint64_t kept, TopKEntry* storage, std::uint32_t* indices, double* scores) {
  TopKHeap heap(storage, kept, TopKTies::lower_row);
  for (std::uint64_t lane = 0; lane < lanes; ++lane) {
    const TopKEntry* entries = lane_heaps + lane * kept;
    for (std::size_t e = 0; e < lane_sizes[lane]; ++e) heap.offer(entries[e].score, entries[e].index);
  }
  heap.write_sorted(indices, scores);
}

std::uint64_t footprint(std::uint64_t n_queries, std::uint64_t kept, std::uint64_t lanes, unsigned workers) {
  const std::uint64_t entry = sizeof(TopKEntry);
  std::uint64_t result = 0, heaps = 0, lane_heaps = 0;
  const bool overflow =
      __builtin_mul_overflow(n_queries * kept, sizeof(std::uint32_t) + sizeof(double), &result) ||
      __builtin_mul_overflow(std::uint64_t{workers} * kept, entry, &heaps) ||
      __builtin_mul_overflow(n_queries * lanes * kept, lanes > 1 ? entry : 0, &lane_heaps);
  return overflow ? UINT64_MAX : result + heaps + lane_heaps;
}

template <class Metric>
Result<EngineOutput> search(pool::WorkerPool& pool, const Metric& metric, std::uint64_t k,
                            const RowView& queries, const PreparedRows& db, DbWindow window) {
  const std::uint64_t n_queries = queries.n_rows;
  const std::uint64_t n_words = db.rows.n_words;
  const std::uint64_t kept = std::min(k, window.n_rows);
  const bool walks = db.groups && window.first == 0 && window.n_rows == db.rows.n_rows;
  const std::uint64_t lanes = lanes_per_query(n_queries, pool.thread_count());
  const std::uint64_t n_tasks = n_queries * lanes;
  QUARNEL_CHECK(refuse_unfit_call(footprint(n_queries, kept, lanes, pool.thread_count())));
  QUARNEL_TRY(indices, allocate_zeroed<std::uint32_t>(n_queries * kept));
  QUARNEL_TRY(scores, allocate_zeroed<double>(n_queries * kept));
  QUARNEL_TRY(lane_heaps, allocate_zeroed<TopKEntry>(lanes > 1 ? n_tasks * kept : 0));
  QUARNEL_TRY(lane_sizes, allocate_zeroed<std::size_t>(lanes > 1 ? n_tasks : 0));
  QUARNEL_TRY(floors, allocate_zeroed<double>(n_queries));
  std::fill_n(floors.data(), n_queries, no_floor);
  std::uint32_t* index_out = indices.data();
  double* score_out = scores.data();
  const kernel::KernelTable& kernel = kernel::kernel_for_width(n_words);
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_tasks, [&](std::size_t first, std::size_t last) {
      BlockScratch scratch{kernel, n_words, {}, {}, {}, {}};
      // A heap that cannot be had throws bad_alloc, which run() passes on.
      std::vector<TopKEntry> own(lanes > 1 ? 0 : kept);
      for (std::size_t task = first; task < last && !pool::stop_requested(); ++task) {
        const std::uint64_t q = task / lanes;
        const QueryRow query = query_row(queries.words, q, n_words, kernel);
        TopKEntry* storage = lanes > 1 ? lane_heaps.data() + task * kept : own.data();
        // One lane writes the result row itself; several leave their heaps
        // to be merged.
        std::uint32_t* indices = lanes > 1 ? nullptr : index_out + q * kept;
        double* scores = score_out + q * kept;
        std::size_t size = 0;
        if (walks) {
          TopKHeap heap(storage, kept, TopKTies::lower_row);
          LaneWalk<Metric>(metric, db, query, kept, SharedFloor(floors.data() + q), task % lanes, lanes)
              .run(heap, scratch);
          size = heap.size();
          if (indices != nullptr) heap.write_sorted(indices, scores);
        } else {
          size = scan_row_slice(metric, db, window, query, storage, kept, task % lanes, lanes, scratch,
                                indices, scores);
        }
        if (lanes > 1) lane_sizes.data()[task] = size;
      }
    });
    if (lanes == 1) return;
    pool::parallel_for_rows(n_queries, [&](std::size_t first, std::size_t last) {
      std::vector<TopKEntry> merged(kept);
      for (std::size_t q = first; q < last && !pool::stop_requested(); ++q) {
        merge_lanes(lane_heaps.data() + q * lanes * kept, lane_sizes.data() + q * lanes, lanes, kept,
                    merged.data(), index_out + q * kept, score_out + q * kept);
      }
    });
  }));
  return EngineOutput(TopKOutput{matrix_buffer(std::move(indices), n_queries, kept),
                                 matrix_buffer(std::move(scores), n_queries, kept)});
}

}  // namespace

Result<EngineOutput> lane_topk(const MetricChoice& metric, std::uint64_t k, const RowView& queries,
                               const PreparedRows& db, DbWindow window, std::int32_t n_threads) {
  if (queries.n_rows == 0 || window.n_rows == 0 || window.first + window.n_rows > db.rows.n_rows || k == 0 ||
      db.rows.n_words == 0 || queries.n_words != db.rows.n_words) {
    return make_error(ErrorKind::internal_fault, "lane top-k called with inconsistent sets");
  }
  auto pool =
      pool::WorkerPool::for_call(n_threads, cross_pair_words(queries.n_rows, window.n_rows, queries.n_words));
  if (!pool) return pool_build_error(pool.error());
  auto output =
      with_metric(metric, [&](const auto& policy) { return search(*pool, policy, k, queries, db, window); });
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine::arena
