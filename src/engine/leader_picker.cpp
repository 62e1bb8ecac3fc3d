#include "engine/leader_picker.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/kernel/kernel_table.hpp"
#include "engine/metric.hpp"
#include "engine/pick_checks.hpp"
#include "engine/pick_distance.hpp"
#include "engine/pick_list.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/row_counts.hpp"
#include "engine/sphere_window.hpp"

namespace quarnel::engine {
namespace {

// Candidate rows that meet a tile of centres together, and the tile: 64
// rows of 2048 bits stay in L1 while the group's rows are compared with
// them.
constexpr std::uint64_t group_rows = 16;
constexpr std::size_t tile_centres = 64;
// Rows are taken in chunks of this many groups per thread: the chunk's rows
// meet the picks made before it in parallel, then each other in order.
constexpr std::uint64_t groups_per_thread = 8;

// Rows whose spheres exclude others, with their bit counts.
struct Centres {
  std::vector<std::uint32_t> rows;
  std::vector<std::uint32_t> counts;

  void add(std::uint64_t row, std::uint32_t count) {
    rows.push_back(static_cast<std::uint32_t>(row));
    counts.push_back(count);
  }
};

// A row is picked exactly when no earlier pick (or first pick) has it
// within its sphere.  Rows are settled in order, a chunk at a time: first
// each of the chunk's rows is checked, in parallel, against the picks made
// before the chunk, stopping at the first that excludes it; then the rows
// left are settled in order against the chunk's own new picks.  Every row
// meets the same picks as in RDKit's loop, which compares each new pick
// with every row left.  Distance is one of pick_distance.hpp's types.
template <class Distance>
class LeaderRun {
 public:
  LeaderRun(Distance distance, PickSource pool, std::uint64_t n_words, double radius)
      : distance_(distance),
        pool_(pool),
        n_words_(n_words),
        radius_(radius),
        kernel_(kernel::kernel_for_width(n_words)) {}

  Result<Ok> prepare(pool::WorkerPool& workers) {
    QUARNEL_TRY(counts, count_row_bits(workers, pool_.words, pool_.n_rows, n_words_));
    counts_ = std::move(counts);
    QUARNEL_TRY(excluded, allocate_zeroed<std::uint8_t>(pool_.n_rows));
    excluded_ = std::move(excluded);
    const std::uint32_t* counts_data = counts_.data();
    const std::uint32_t most_bits = *std::max_element(counts_data, counts_data + pool_.n_rows);
    windows_.resize(static_cast<std::size_t>(most_bits) + 1);
    for (std::uint32_t a = 0; a <= most_bits; ++a) windows_[a] = SphereWindow::around(a, radius_, distance_);
    return Ok{};
  }

  const std::vector<std::int64_t>& chosen() const { return chosen_; }

  void add_first_pick(std::uint64_t row) { chosen_.push_back(static_cast<std::int64_t>(row)); }

  // Every row within the sphere of a first pick leaves the pool, the
  // first picks included: even one that is not within its own sphere (an
  // empty row under Dice or cosine is at distance 1 from itself) is picked
  // once only.  Runs on a worker of the pool.
  void exclude_first_picks() {
    if (chosen_.empty()) return;
    std::vector<std::int64_t> distinct = chosen_;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    Centres centres;
    for (const std::int64_t row : distinct) centres.add(row, counts_.data()[row]);
    exclude_rows_near(0, pool_.n_rows, centres, centres.rows.size());
    for (const std::int64_t row : distinct) excluded_.data()[row] = 1;
  }

  // Picks until `pick_size` rows are chosen or none is left; runs on a
  // worker of the pool.
  void pick_until(std::uint64_t pick_size, unsigned thread_count, PickProgress& progress) {
    const std::uint64_t chunk = group_rows * groups_per_thread * thread_count;
    for (std::uint64_t first = 0; first < pool_.n_rows; first += chunk) {
      const std::uint64_t last = std::min(first + chunk, pool_.n_rows);
      if (!picks_.rows.empty()) exclude_rows_near(first, last, picks_, picks_.rows.size());
      if (pool::stop_requested()) return;  // the exclusions are partial: settle nothing
      if (settle_in_order(first, last, pick_size, progress)) return;
      covered_ = last;
      progress.record(covered_);
    }
  }

  // The leading rows settled: each picked or within a pick's sphere.
  std::uint64_t covered() const { return covered_; }

 private:
  const std::uint64_t* row_words(std::uint64_t row) const { return pool_.words + row * n_words_; }

  // Excludes the rows of [first, last) within the sphere of any of the
  // first `n_centres` centres, in parallel over groups of rows.
  void exclude_rows_near(std::uint64_t first, std::uint64_t last, const Centres& centres,
                         std::size_t n_centres) {
    const std::uint64_t n_groups = (last - first + group_rows - 1) / group_rows;
    pool::parallel_for_rows(n_groups, [&](std::size_t group_first, std::size_t group_last) {
      for (std::size_t group = group_first; group < group_last; ++group) {
        const std::uint64_t from = first + group * group_rows;
        exclude_group(from, std::min(from + group_rows, last), centres, n_centres);
      }
    });
  }

  // The centres of one tile that a row can reach, and their AND counts.
  struct TileScratch {
    std::array<std::uint32_t, tile_centres> rows{};
    std::array<std::uint32_t, tile_centres> counts{};
    std::array<std::uint32_t, tile_centres> common{};
  };

  void exclude_group(std::uint64_t first, std::uint64_t last, const Centres& centres, std::size_t n_centres) {
    TileScratch scratch;
    for (std::size_t tile = 0; tile < n_centres; tile += tile_centres) {
      const std::size_t tile_end = std::min(tile + tile_centres, n_centres);
      bool any_left = false;
      for (std::uint64_t row = first; row < last; ++row) {
        if (excluded_.data()[row]) continue;
        any_left = true;
        if (near_any(row, centres, tile, tile_end, scratch)) excluded_.data()[row] = 1;
      }
      if (!any_left) return;
    }
  }

  // Whether a centre of [tile, tile_end) has the row within its sphere;
  // centres whose bit count keeps them out of reach are not compared.
  // Written without a branch per centre: which are in reach is
  // unpredictable.
  bool near_any(std::uint64_t row, const Centres& centres, std::size_t tile, std::size_t tile_end,
                TileScratch& scratch) const {
    const std::uint32_t a = counts_.data()[row];
    const SphereWindow& window = windows_[a];
    std::size_t n_picked = 0;
    for (std::size_t t = tile; t < tile_end; ++t) {
      scratch.rows[n_picked] = centres.rows[t];
      scratch.counts[n_picked] = centres.counts[t];
      n_picked += static_cast<std::size_t>(window.contains(centres.counts[t]));
    }
    kernel_.and_count_picked(row_words(row), pool_.words, scratch.rows.data(), n_picked, n_words_,
                             scratch.common.data());
    for (std::size_t p = 0; p < n_picked; ++p) {
      if (distance_.distance(a, scratch.counts[p], scratch.common[p]) <= radius_) return true;
    }
    return false;
  }

  // The rows of [first, last) still in the pool, in order: each is picked,
  // leaves the pool whatever its distance from itself, and excludes the
  // later ones within its sphere.  True once `pick_size` rows are chosen.
  bool settle_in_order(std::uint64_t first, std::uint64_t last, std::uint64_t pick_size,
                       PickProgress& progress) {
    for (std::uint64_t row = first; row < last; ++row) {
      if (excluded_.data()[row]) continue;
      excluded_.data()[row] = 1;
      picks_.add(row, counts_.data()[row]);
      chosen_.push_back(static_cast<std::int64_t>(row));
      covered_ = row + 1;
      if (chosen_.size() >= pick_size) return true;
      exclude_later(row, last);
      progress.record(covered_);
    }
    return false;
  }

  void exclude_later(std::uint64_t centre, std::uint64_t last) {
    const std::uint32_t a = counts_.data()[centre];
    const SphereWindow& window = windows_[a];
    for (std::uint64_t row = centre + 1; row < last; ++row) {
      const std::uint32_t b = counts_.data()[row];
      if (excluded_.data()[row] || !window.contains(b)) continue;
      std::uint32_t common = 0;
      kernel_.and_count_rows(row_words(centre), row_words(row), 1, n_words_, &common);
      if (distance_.distance(a, b, common) <= radius_) excluded_.data()[row] = 1;
    }
  }

  Distance distance_;
  PickSource pool_;
  std::uint64_t n_words_;
  double radius_;  // 1 - threshold, the distance RDKit is given
  const kernel::KernelTable& kernel_;
  OwnedBuffer<std::uint32_t> counts_;
  OwnedBuffer<std::uint8_t> excluded_;  // picked or within a pick's sphere
  std::vector<SphereWindow> windows_;   // by the row's bit count
  Centres picks_;                       // the picks after the first picks
  std::vector<std::int64_t> chosen_;    // every pick, first picks included
  std::uint64_t covered_ = 0;           // rows before this one are settled
};

std::string describe_number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

template <class Distance>
Result<OwnedBuffer<std::int64_t>> run_leader(Distance distance, PickSource pool, std::uint64_t n_words,
                                             const LeaderRequest& request, const ProgressHook* hook) {
  // Never on the caller: a pick's work cannot be told from its sizes, and
  // its progress is reported only while the caller waits for the workers.
  auto workers = pool::WorkerPool::for_call(request.n_threads, UINT64_MAX);
  if (!workers) return pool_build_error(workers.error());
  LeaderRun<Distance> run(distance, pool, n_words, 1.0 - request.threshold);
  QUARNEL_CHECK(run.prepare(*workers));
  for (const std::int64_t row : request.first_picks) run.add_first_pick(static_cast<std::uint64_t>(row));
  const std::uint64_t pick_size = request.n == 0 ? pool.n_rows : static_cast<std::uint64_t>(request.n);
  PickProgress progress(hook);
  if (run.chosen().size() < pick_size) {
    const unsigned thread_count = workers->thread_count();
    // A stop leaves partial picks: the interrupted error, not them.
    QUARNEL_CHECK(progress.run(*workers, [&] {
      run.exclude_first_picks();
      run.pick_until(pick_size, thread_count, progress);
    }));
  }
  workers->shutdown();
  QUARNEL_CHECK(progress.finish(run.covered()));
  return pick_list(run.chosen());
}

}  // namespace

Result<OwnedBuffer<std::int64_t>> leader_pick(PickSource pool, std::uint64_t n_words,
                                              const LeaderRequest& request, const ProgressHook* hook) {
  QUARNEL_CHECK(check_pick_request(pool.n_rows, request.n, request.first_picks));
  if (!(request.threshold >= 0.0 && request.threshold <= 1.0)) {  // NaN fails too
    return make_error(ErrorKind::value_error,
                      "threshold must be from 0 to 1, not " + describe_number(request.threshold));
  }
  QUARNEL_CHECK(check_pick_metric(request.metric));
  return with_metric(request.metric, [&](auto metric) {
    if constexpr (std::is_same_v<decltype(metric), TanimotoMetric>) {
      return run_leader(TanimotoPickDistance{}, pool, n_words, request, hook);  // RDKit's own distance
    } else {
      return run_leader(MetricPickDistance<decltype(metric)>{metric}, pool, n_words, request, hook);
    }
  });
}

}  // namespace quarnel::engine
