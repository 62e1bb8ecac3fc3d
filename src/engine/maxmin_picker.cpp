#include "engine/maxmin_picker.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/first_pick_draw.hpp"
#include "engine/kernel/kernel_table.hpp"
#include "engine/metric.hpp"
#include "engine/pick_checks.hpp"
#include "engine/pick_heap.hpp"
#include "engine/pick_list.hpp"
#include "engine/pick_nearness.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"

namespace quarnel::engine {
namespace {

// Rows compared with the first pick between two looks at the stop check.
constexpr std::size_t first_round_slice = std::size_t{1} << 14;

// Picks a candidate is compared with at a time: one kernel call for many
// pairs.  The whole batch is applied even when an early pair already puts
// the candidate behind its rival, so no comparison made is lost.  Larger
// batches compare more pairs but bring a row to the top, with its cache
// misses and its sift, fewer times: AMD EPYC (Zen 4), 1,000 picks from
// 1,000,000 2048-bit rows, 1 thread: 16 a batch 3.6 s, 64 2.5 s, 128
// 2.3 s, 256 2.6 s.
constexpr std::size_t pick_batch = 128;

// The first pool picks are copied together, up to this many bytes, so that
// a batch of picks is one run of memory rather than rows all over the pool
// (1,000 picks from 100,000 2048-bit rows: 13% faster).  The cap keeps the
// run's memory to the rows plus a little whatever n is.
constexpr std::size_t copied_pick_bytes = std::size_t{16} << 20;

// Heap nodes a part settles ahead of need while the others work: the top
// four levels of a four-way heap.
constexpr std::size_t settle_ahead_nodes = 1 + 4 + 16 + 64 + 256;

// The Tanimoto candidate stays as small as it was before other metrics.
static_assert(sizeof(PickCandidate<TanimotoFraction<std::uint16_t>>) == 12);

// Lazy greedy MaxMin.  Every row is compared with the first pick, then the
// rows wait in a heap ordered by the distance to the picks they have met,
// which only falls as they meet more.  A round brings the top row up to
// date, pick by pick, until it falls behind the runner-up (back into the
// heap) or has met every pick: then nothing else can be farther, since
// every other row's stored distance bounds its true one, and the heap
// order settles ties to the lowest row, as RDKit's scan does.  Only rows
// near the top are ever compared again, instead of a scan of every row a
// round.  For threads, the rows are split into one heap per thread: each
// round every heap settles its own farthest row in parallel, and the
// farthest of those is the pick.  The picks are the same for every split.
// Measure (pick_nearness.hpp) gives a pair's nearness from its bit counts.
template <class Measure>
class MaxMinRun {
 public:
  using Nearness = typename Measure::Nearness;
  using Candidate = PickCandidate<Nearness>;

  // The references count as picks made before any pool row; the rows are
  // split into `n_parts` heaps.
  MaxMinRun(Measure measure, PickSource pool, PickSource references, std::uint64_t n_words,
            std::size_t n_parts)
      : measure_(measure),
        pool_(pool),
        references_(references),
        n_words_(n_words),
        n_parts_(n_parts),
        kernel_(kernel::kernel_for_width(n_words)) {
    for (std::uint64_t row = 0; row < references_.n_rows; ++row) {
      pick_counts_.push_back(count_bits(references_.words + row * n_words_));
    }
    // Reserved, not touched: no growth copies the rows, and pages no pick
    // reaches are never mapped.
    pick_rows_.reserve(copied_pick_bytes / sizeof(std::uint64_t));
  }

  // A first pick: taken before the heap is built.
  void add_first_pick(std::uint64_t row) { take(row); }

  const std::vector<std::int64_t>& chosen() const { return chosen_; }

  Result<Ok> allocate() {
    QUARNEL_TRY(storage, allocate_zeroed<Candidate>(pool_.n_rows));
    storage_ = std::move(storage);
    return Ok{};
  }

  // Compares every row with the first pick, in parallel, then builds the
  // heap from the rows not picked yet.  Runs on a worker of the pool.
  void start() {
    Candidate* items = storage_.data();
    const std::uint64_t* first_words = pick_words(0);
    const std::uint32_t first_count = pick_counts_.front();
    pool::parallel_for_rows(pool_.n_rows, [&](std::size_t begin, std::size_t end) {
      for (std::size_t at = begin; at < end && !pool::stop_requested(); at += first_round_slice) {
        const std::size_t stop = std::min(end, at + first_round_slice);
        for (std::size_t row = at; row < stop; ++row) {
          const std::uint64_t* words = row_words(row);
          const std::uint32_t a = count_bits(words);
          items[row] = Candidate{static_cast<std::uint32_t>(row), 1,
                                 measure_(a, first_count, and_count(words, first_words))};
        }
      }
    });
    if (pool::stop_requested()) return;
    std::vector<std::int64_t> taken = chosen_;
    std::sort(taken.begin(), taken.end());
    std::size_t kept = 0;
    auto next_taken = taken.begin();
    for (std::size_t row = 0; row < pool_.n_rows; ++row) {
      next_taken = std::lower_bound(next_taken, taken.end(), static_cast<std::int64_t>(row));
      if (next_taken != taken.end() && *next_taken == static_cast<std::int64_t>(row)) continue;
      items[kept++] = items[row];
    }
    // The parts: contiguous ranges of what is left, one heap each.
    for (std::size_t part = 0; part < n_parts_; ++part) {
      const std::size_t begin = kept * part / n_parts_;
      const std::size_t end = kept * (part + 1) / n_parts_;
      heaps_.emplace_back(items + begin, end - begin);
    }
    pool::parallel_for_rows(n_parts_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t part = begin; part < end; ++part) heaps_[part].build();
    });
  }

  // Picks until `n` pool rows are chosen; runs on a worker of the pool.
  // The farthest of the heaps' tops, the lowest on a tie, is the pick.
  void pick_until(std::uint64_t n, PickProgress& progress) {
    while (chosen_.size() < n) {
      std::atomic<std::size_t> parts_settled{0};
      pool::parallel_for_rows(n_parts_, [&](std::size_t begin, std::size_t end) {
        for (std::size_t part = begin; part < end; ++part) {
          settle(heaps_[part], 0, [] { return false; });
          parts_settled.fetch_add(1, std::memory_order_relaxed);
          settle_ahead(heaps_[part], parts_settled);
        }
      });
      if (pool::stop_requested()) return;
      PickHeap<Nearness>* best = nullptr;
      for (PickHeap<Nearness>& heap : heaps_) {
        if (!heap.empty() && (best == nullptr || goes_before(heap.top(), best->top()))) best = &heap;
      }
      if (best == nullptr) return;
      const std::uint64_t row = best->top().row;
      best->pop();
      take(row);
      progress.record(chosen_.size());
    }
  }

 private:
  const std::uint64_t* row_words(std::uint64_t row) const { return pool_.words + row * n_words_; }

  const std::uint64_t* pick_words(std::size_t pick) const {
    if (pick < references_.n_rows) return references_.words + pick * n_words_;
    return row_words(pool_picks_[pick - references_.n_rows]);
  }

  void take(std::uint64_t row) {
    pick_counts_.push_back(count_bits(row_words(row)));
    pool_picks_.push_back(static_cast<std::uint32_t>(row));
    if ((pick_rows_.size() + n_words_) * sizeof(std::uint64_t) <= copied_pick_bytes) {
      const std::uint64_t* words = row_words(row);
      pick_rows_.insert(pick_rows_.end(), words, words + n_words_);
    }
    chosen_.push_back(static_cast<std::int64_t>(row));
  }

  std::uint32_t count_bits(const std::uint64_t* words) const {
    std::uint32_t count = 0;
    kernel_.count_rows(words, 1, n_words_, &count);
    return count;
  }

  std::uint32_t and_count(const std::uint64_t* words, const std::uint64_t* other) const {
    std::uint32_t common = 0;
    kernel_.and_count_rows(words, other, 1, n_words_, &common);
    return common;
  }

  std::size_t n_copied_picks() const { return n_words_ == 0 ? 0 : pick_rows_.size() / n_words_; }

  void fetch_row(std::uint64_t row) const {
    const std::uint64_t* words = row_words(row);
    for (std::uint64_t w = 0; w < n_words_; w += 8) __builtin_prefetch(words + w);
  }

  // Brings node `at` of the heap up to date with every pick: the farthest
  // row below it, its own included.  At the top, the farthest of the part.
  // It ends early once `until()` holds: the heap is in order after every
  // step, settled or not.
  template <class Until>
  void settle(PickHeap<Nearness>& heap, std::size_t at, Until until) {
    while (at < heap.size() && heap.at(at).met < pick_counts_.size()) {
      if (until()) return;
      const Candidate* rival = heap.best_child(at);
      if (rival != nullptr) fetch_row(rival->row);
      meet_picks(heap.at(at), rival);
      heap.sift_down(at);
    }
  }

  // The heap's top levels settled ahead of need, while other parts still
  // settle their tops: only the part whose top is picked has real work in a
  // round, and it finds its next top here already met with all but the
  // newest picks.  Settling a node lowers keys only below it, so the nodes
  // above stay in order; comparisons made early are never wrong, only
  // sometimes more than a later look would have needed.
  // It ends as soon as every part has its top, within one row's update
  // (ending only between nodes left the others waiting on a deep one).
  void settle_ahead(PickHeap<Nearness>& heap, const std::atomic<std::size_t>& parts_settled) {
    const auto round_over = [&] {
      return parts_settled.load(std::memory_order_relaxed) == n_parts_ || pool::stop_requested();
    };
    for (std::size_t at = 1; at < settle_ahead_nodes && !round_over(); ++at) settle(heap, at, round_over);
  }

  // Compares the candidate with the picks it has not met, in pick order and
  // in batches, until it has met them all or falls behind `rival` (it cannot
  // be this round's pick then, and the rest can wait).  The newest picks
  // come first: a row near the top of the heap is most often a near copy of
  // a recent pick (the pick came from the same far corner), and one batch
  // puts it behind.  That look ahead leaves `met` alone, the picks before
  // being still to meet: nearness to any subset of the picks bounds the
  // true distance from above, and a candidate counts as settled only once
  // it has met every pick in order.
  void meet_picks(Candidate& candidate, const Candidate* rival) {
    const std::uint64_t* words = row_words(candidate.row);
    const std::uint32_t a = count_bits(words);
    const std::size_t n_picks = pick_counts_.size();
    if (rival != nullptr && n_picks - candidate.met > pick_batch) {
      meet_range(candidate, words, a, n_picks - pick_batch, n_picks);
      if (!goes_before(candidate, *rival)) return;
    }
    const std::size_t n_references = references_.n_rows;
    while (candidate.met < n_picks) {
      const std::size_t first = candidate.met;
      const std::size_t end = std::min(first + pick_batch, first < n_references ? n_references : n_picks);
      meet_range(candidate, words, a, first, end);
      candidate.met = static_cast<std::uint32_t>(end);
      if (rival != nullptr && !goes_before(candidate, *rival)) break;
    }
  }

  // Brings the candidate (a bits) nearer to any of picks [first, end), at
  // most pick_batch of them, references and pool picks alike.
  void meet_range(Candidate& candidate, const std::uint64_t* words, std::uint32_t a, std::size_t first,
                  std::size_t end) {
    std::uint32_t commons[pick_batch];
    const std::size_t n_references = references_.n_rows;
    const std::size_t split = std::clamp(n_references, first, end);
    if (first < split) {
      kernel_.and_count_rows(words, references_.words + first * n_words_, split - first, n_words_, commons);
    }
    // Pool picks [split, copied) from their copies, the rest in place.
    const std::size_t copied = std::clamp(n_references + n_copied_picks(), split, end);
    if (split < copied) {
      kernel_.and_count_rows(words, pick_rows_.data() + (split - n_references) * n_words_, copied - split,
                             n_words_, commons + (split - first));
    }
    if (copied < end) {
      kernel_.and_count_picked(words, pool_.words, pool_picks_.data() + (copied - n_references), end - copied,
                               n_words_, commons + (copied - first));
    }
    Nearness nearest = candidate.nearest;
    for (std::size_t i = 0; i < end - first; ++i) {
      const Nearness pair = measure_(a, pick_counts_[first + i], commons[i]);
      if (farther(nearest, pair)) nearest = pair;
    }
    candidate.nearest = nearest;
  }

  Measure measure_;
  PickSource pool_;
  PickSource references_;
  std::uint64_t n_words_;
  std::size_t n_parts_;
  const kernel::KernelTable& kernel_;
  OwnedBuffer<Candidate> storage_;          // one candidate per pool row
  std::vector<PickHeap<Nearness>> heaps_;   // over storage_, less the picks
  std::vector<std::uint32_t> pick_counts_;  // bits of each pick: references first, then pool picks
  std::vector<std::uint32_t> pool_picks_;   // the pool rows among the picks, in pick order
  std::vector<std::uint64_t> pick_rows_;    // the words of the first pool picks, one after another
  std::vector<std::int64_t> chosen_;        // the pool picks
};

Result<Ok> check_request(PickSource pool, PickSource references, const MaxMinRequest& request) {
  QUARNEL_CHECK(check_pick_request(pool.n_rows, request.n, request.first_picks));
  QUARNEL_CHECK(check_pick_metric(request.metric));
  if (request.seed > static_cast<std::int64_t>(UINT32_MAX)) {
    return make_error(ErrorKind::value_error,
                      "seed must be below 2**32, not " + std::to_string(request.seed));
  }
  // A candidate keeps its row and the picks it has met in 32 bits each.
  if (pool.n_rows > UINT32_MAX) {
    return make_error(ErrorKind::value_error, "cannot pick from " + std::to_string(pool.n_rows) +
                                                  " rows: MaxMin picks from at most " +
                                                  std::to_string(UINT32_MAX));
  }
  const std::uint64_t most_picks =
      references.n_rows + std::max<std::uint64_t>(request.first_picks.size(), request.n);
  if (most_picks > UINT32_MAX) {
    return make_error(ErrorKind::value_error,
                      "too many picks: references, first picks and n may reach at most " +
                          std::to_string(UINT32_MAX) + " together");
  }
  return Ok{};
}

template <class Measure>
Result<OwnedBuffer<std::int64_t>> run_maxmin(Measure measure, PickSource pool, PickSource references,
                                             std::uint64_t n_words, const MaxMinRequest& request,
                                             const ProgressHook* hook) {
  // Never on the caller: a pick's work cannot be told from its sizes, and
  // its progress is reported only while the caller waits for the workers.
  auto workers = pool::WorkerPool::for_call(request.n_threads, UINT64_MAX);
  if (!workers) return pool_build_error(workers.error());
  MaxMinRun<Measure> run(measure, pool, references, n_words, workers->thread_count());
  for (const std::int64_t row : request.first_picks) run.add_first_pick(static_cast<std::uint64_t>(row));
  if (references.n_rows == 0 && request.first_picks.empty()) {
    run.add_first_pick(draw_first_pick(request.seed, pool.n_rows));
  }
  const std::uint64_t n = static_cast<std::uint64_t>(request.n);
  PickProgress progress(hook);
  if (run.chosen().size() < n) {
    QUARNEL_CHECK(run.allocate());
    QUARNEL_CHECK(progress.run(*workers, [&] {
      run.start();
      if (!pool::stop_requested()) run.pick_until(n, progress);
    }));
  }
  workers->shutdown();
  QUARNEL_CHECK(progress.finish(run.chosen().size()));
  return pick_list(run.chosen());
}

}  // namespace

Result<OwnedBuffer<std::int64_t>> maxmin_pick(PickSource pool, PickSource references, std::uint64_t n_words,
                                              const MaxMinRequest& request, const ProgressHook* progress) {
  QUARNEL_CHECK(check_request(pool, references, request));
  return with_metric(request.metric, [&](auto metric) {
    if constexpr (std::is_same_v<decltype(metric), TanimotoMetric>) {
      // RDKit's own distance, kept as exact fractions.  Counts of rows up
      // to 65535 bits fit 16 bits, and a candidate 12 bytes.
      if (n_words * 64 <= UINT16_MAX) {
        return run_maxmin(TanimotoFractions<std::uint16_t>{}, pool, references, n_words, request, progress);
      }
      return run_maxmin(TanimotoFractions<std::uint32_t>{}, pool, references, n_words, request, progress);
    } else {
      return run_maxmin(MetricDistances<decltype(metric)>{metric}, pool, references, n_words, request,
                        progress);
    }
  });
}

}  // namespace quarnel::engine
