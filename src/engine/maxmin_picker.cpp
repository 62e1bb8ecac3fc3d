#include "engine/maxmin_picker.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/first_pick_draw.hpp"
#include "engine/kernel/kernel_table.hpp"
#include "engine/pick_checks.hpp"
#include "engine/pick_distance.hpp"
#include "engine/pick_list.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/row_counts.hpp"

namespace quarnel::engine {
namespace {

// Rows are scanned in fixed blocks, whatever the thread count, so that the
// work done, not only the picks, is the same for every pool.
constexpr std::uint64_t block_rows = 1024;
// Rows of a block whose words are requested before they are compared.
constexpr std::size_t fetch_ahead = 8;
// Above every distance: the row has met no pick yet.
constexpr double unmet = 2.0;
// A row already picked: below every candidate, so it never wins again.
constexpr double taken = -std::numeric_limits<double>::infinity();
constexpr std::uint64_t no_row = UINT64_MAX;

struct PickedRow {
  const std::uint64_t* words;
  std::uint32_t count;
};

struct Winner {
  double distance;
  std::uint64_t row;
};

// RDKit's lazy scheme, in bulk.  Each pool row keeps an upper bound on its
// distance to the nearest pick (exact once it has met every pick) and how
// many picks it has met; a row is brought up to date only while its bound
// could still beat the best row found so far.  That gives the same picks as
// comparing every row with every pick, for less work.
class MaxMinRun {
 public:
  MaxMinRun(PickSource pool, std::uint64_t n_words)
      : pool_(pool), n_words_(n_words), kernel_(kernel::kernel_for_width(n_words)) {}

  Result<Ok> prepare(pool::WorkerPool& workers) {
    QUARNEL_TRY(counts, count_row_bits(workers, pool_.words, pool_.n_rows, n_words_));
    counts_ = std::move(counts);
    QUARNEL_TRY(met, allocate_zeroed<std::uint32_t>(pool_.n_rows));
    met_ = std::move(met);
    QUARNEL_TRY(nearest, allocate_zeroed<double>(pool_.n_rows));
    nearest_ = std::move(nearest);
    std::fill_n(nearest_.data(), pool_.n_rows, unmet);
    const std::uint64_t n_blocks = (pool_.n_rows + block_rows - 1) / block_rows;
    block_bounds_.assign(n_blocks, unmet);
    winners_.assign(n_blocks, Winner{taken, no_row});
    candidates_.assign(n_blocks, no_row);
    return Ok{};
  }

  // A picked row that is not in the pool (a reference).
  void add_outside_pick(const std::uint64_t* words, std::uint32_t count) { picks_.push_back({words, count}); }

  void add_pool_pick(std::uint64_t row) {
    picks_.push_back({row_words(row), counts_.data()[row]});
    nearest_.data()[row] = taken;
    chosen_.push_back(static_cast<std::int64_t>(row));
  }

  const std::vector<std::int64_t>& chosen() const { return chosen_; }

  // Picks until `n` pool rows are chosen; runs on a worker of the pool.
  void pick_until(std::uint64_t n) {
    while (chosen_.size() < n) add_pool_pick(next_pick());
  }

 private:
  const std::uint64_t* row_words(std::uint64_t row) const { return pool_.words + row * n_words_; }

  // Brings the row's bound down through the picks it has not met, stopping
  // once it is at or below `floor` (it can no longer win); the bound is
  // exact when it stays above.  No bit-count bound here: at the distances
  // MaxMin works at (0.9 and above on real molecules) it almost never
  // spares a comparison, and testing it made picking slower.
  double meet_picks(std::uint64_t row, double floor) {
    double nearest = nearest_.data()[row];
    std::uint32_t met = met_.data()[row];
    const std::uint32_t a = counts_.data()[row];
    const std::uint64_t* words = row_words(row);
    const std::size_t n_picks = picks_.size();
    while (met < n_picks) {
      const PickedRow& pick = picks_[met++];
      std::uint32_t common = 0;
      kernel_.and_count_rows(words, pick.words, 1, n_words_, &common);
      const double distance = pick_distance(a, pick.count, common);
      if (distance < nearest) {
        nearest = distance;
        if (nearest <= floor) break;
      }
    }
    nearest_.data()[row] = nearest;
    met_.data()[row] = met;
    return nearest;
  }

  // Just below the largest exact distance among the blocks' candidates
  // (each brought up to date), or -1.0 before the first round.  The next
  // pick is at least that far, so no row at or below this floor can be it,
  // and a row exactly as far as the best candidate is still looked at: a
  // lower row may tie with it.
  double floor_from_candidates() {
    double best = -1.0;
    for (const std::uint64_t row : candidates_) {
      if (row == no_row || nearest_.data()[row] == taken) continue;
      best = std::max(best, meet_picks(row, -1.0));
    }
    return best < 0.0 ? -1.0 : std::nextafter(best, taken);
  }

  // The lowest row of the block farthest from the picks, if it is beyond
  // `floor`.  Rows are visited in order and only a strictly farther row
  // takes over, which keeps the lowest of equally far rows.  The rows whose
  // bound is above the floor are listed first, so that the words of those
  // about to be compared can be fetched ahead: they are scattered over the
  // file, and each would otherwise be waited for in turn.
  Winner scan_block(std::uint64_t block, double floor) {
    Winner winner{floor, no_row};
    if (!(block_bounds_[block] > floor)) return winner;
    const std::uint64_t first = block * block_rows;
    const std::uint64_t last = std::min(first + block_rows, pool_.n_rows);
    const double* nearest = nearest_.data();
    std::array<std::uint32_t, block_rows> above;
    std::size_t n_above = 0;
    double bound = taken;  // first the largest bound at or below the floor
    for (std::uint64_t row = first; row < last; ++row) {
      above[n_above] = static_cast<std::uint32_t>(row - first);
      const bool is_above = nearest[row] > floor;
      n_above += static_cast<std::size_t>(is_above);
      bound = std::max(bound, is_above ? taken : nearest[row]);
    }
    for (std::size_t i = 0; i < n_above; ++i) {
      if (i + fetch_ahead < n_above) fetch_row(first + above[i + fetch_ahead]);
      const std::uint64_t row = first + above[i];
      double distance = nearest[row];
      if (distance > winner.distance) {
        distance = meet_picks(row, winner.distance);
        if (distance > winner.distance) winner = Winner{distance, row};
      }
      bound = std::max(bound, distance);
    }
    block_bounds_[block] = bound;
    return winner;
  }

  void fetch_row(std::uint64_t row) const {
    const std::uint64_t* words = row_words(row);
    for (std::uint64_t w = 0; w < n_words_; w += 8) __builtin_prefetch(words + w);
  }

  // Blocks are scanned in parallel and their winners combined in block
  // order, so the lowest of equally far rows wins for every thread count.
  // A block's winner stays its candidate until the block wins again: a
  // skipped block keeps a row that bounds the next floor well.
  std::uint64_t next_pick() {
    const double floor = floor_from_candidates();
    pool::parallel_for_rows(winners_.size(), [&](std::size_t first, std::size_t last) {
      for (std::size_t block = first; block < last; ++block) {
        winners_[block] = scan_block(block, floor);
        if (winners_[block].row != no_row) candidates_[block] = winners_[block].row;
      }
    });
    Winner best{floor, no_row};
    for (const Winner& winner : winners_) {
      if (winner.row != no_row && winner.distance > best.distance) best = winner;
    }
    return best.row;
  }

  PickSource pool_;
  std::uint64_t n_words_;
  const kernel::KernelTable& kernel_;
  OwnedBuffer<std::uint32_t> counts_;
  OwnedBuffer<std::uint32_t> met_;         // picks each row has met, in pick order
  OwnedBuffer<double> nearest_;            // each row's bound on its distance to the picks
  std::vector<double> block_bounds_;       // the largest bound in each block
  std::vector<Winner> winners_;            // this round's winner of each block, if any
  std::vector<std::uint64_t> candidates_;  // a row of each block, its latest winner
  std::vector<PickedRow> picks_;           // references first, then pool picks
  std::vector<std::int64_t> chosen_;       // the pool picks
};

Result<Ok> check_request(PickSource pool, PickSource references, const MaxMinRequest& request) {
  QUARNEL_CHECK(check_pick_request(pool.n_rows, request.n, request.first_picks));
  if (request.seed > static_cast<std::int64_t>(UINT32_MAX)) {
    return make_error(ErrorKind::value_error,
                      "seed must be below 2**32, not " + std::to_string(request.seed));
  }
  // Each row counts the picks it has met in 32 bits.
  const std::uint64_t most_picks =
      references.n_rows + std::max<std::uint64_t>(request.first_picks.size(), request.n);
  if (most_picks > UINT32_MAX) {
    return make_error(ErrorKind::value_error,
                      "too many picks: references, first picks and n may reach at most " +
                          std::to_string(UINT32_MAX) + " together");
  }
  return Ok{};
}

Result<Ok> add_references(MaxMinRun& run, pool::WorkerPool& workers, PickSource references,
                          std::uint64_t n_words) {
  QUARNEL_TRY(counts, count_row_bits(workers, references.words, references.n_rows, n_words));
  for (std::uint64_t row = 0; row < references.n_rows; ++row) {
    run.add_outside_pick(references.words + row * n_words, counts.data()[row]);
  }
  return Ok{};
}

}  // namespace

Result<OwnedBuffer<std::int64_t>> maxmin_pick(PickSource pool, PickSource references, std::uint64_t n_words,
                                              const MaxMinRequest& request) {
  QUARNEL_CHECK(check_request(pool, references, request));
  auto workers = pool::WorkerPool::create(request.n_threads);
  if (!workers) return pool_build_error(workers.error());
  MaxMinRun run(pool, n_words);
  QUARNEL_CHECK(run.prepare(*workers));
  QUARNEL_CHECK(add_references(run, *workers, references, n_words));
  for (const std::int64_t row : request.first_picks) run.add_pool_pick(static_cast<std::uint64_t>(row));
  if (references.n_rows == 0 && request.first_picks.empty()) {
    run.add_pool_pick(draw_first_pick(request.seed, pool.n_rows));
  }
  const std::uint64_t n = static_cast<std::uint64_t>(request.n);
  if (run.chosen().size() < n) workers->run([&] { run.pick_until(n); });
  workers->shutdown();
  return pick_list(run.chosen());
}

}  // namespace quarnel::engine
