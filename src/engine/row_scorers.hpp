#pragma once
// What one query row does with the database blocks it meets: write every
// score, keep a running mean/max/min, or keep the best k.  Each consumes
// its scores in increasing database order, and scores with the metric
// policy it is instantiated for.

#include <cstdint>
#include <type_traits>
#include <vector>

#include "engine/aggregation_mode.hpp"
#include "engine/block_scan.hpp"
#include "engine/row_aggregate.hpp"
#include "engine/score_bound.hpp"
#include "engine/segment_bound.hpp"
#include "engine/topk_heap.hpp"

namespace quarnel::engine {

// Lists in scratch.picked the rows of the block whose bit count lies in
// `window`, leaving out database row `skip`; returns how many.
inline std::size_t pick_rows(const CountWindow& window, const DbBlock& block, std::uint64_t skip,
                             BlockScratch& scratch) {
  if (window.empty()) return 0;
  // Past the block, wrapped or not, when `skip` is not in it.
  const std::uint64_t skip_at = skip - block.first;
  return scratch.kernel.pick_in_window(
      block.counts, block.n_rows, window.lowest(), window.highest() - window.lowest(),
      skip_at < block.n_rows ? static_cast<std::size_t>(skip_at) : block.n_rows, scratch.picked.data());
}

// The rows of a block that can still beat a running best (a heap's minimum
// or the maximum so far) for one query: first by count, then, where the
// rows have segment counts, by their bound on the bits in common.  The
// window and the table are remade only when the best has moved, which
// after the first blocks is seldom.
template <class Metric>
class BeatingRows {
 public:
  BeatingRows(const Metric& metric, std::uint32_t query_count)
      : metric_(metric), query_count_(query_count), tabulates_(CommonNeeded::applies(metric)) {}

  // Whether any row at all can beat `best`.
  bool beat(double best) {
    if (!known_ || !(best == best_)) {
      best_ = best;
      known_ = true;
      window_ = CountWindow::beating(metric_, query_count_, best);
      tabulated_ = false;
    }
    return !window_.empty();
  }

  // Lists in scratch.picked the rows of the block, other than database row
  // `skip`, that may beat the best last given to beat(); returns how many.
  std::size_t pick(const QueryRow& query, const DbBlock& block, std::uint64_t skip, BlockScratch& scratch) {
    if (!tabulates_ || block.segments == nullptr || window_.empty())
      return pick_rows(window_, block, skip, scratch);
    if (!tabulated_) {
      needed_.tabulate(metric_, query_count_, best_, window_,
                       static_cast<std::uint32_t>(scratch.n_words * 64));
      tabulated_ = true;
    }
    const std::uint64_t skip_at = skip - block.first;
    return scratch.kernel.pick_reachable(
        block.counts, block.segments, block.n_rows, needed_.lowest(), needed_.span(), needed_.table(),
        query.segments.data(), skip_at < block.n_rows ? static_cast<std::size_t>(skip_at) : block.n_rows,
        scratch.picked.data());
  }

 private:
  Metric metric_;
  std::uint32_t query_count_;
  bool tabulates_;  // whether the metric allows the table of counts needed
  double best_ = 0.0;
  bool known_ = false;
  CountWindow window_;
  CommonNeeded needed_;
  bool tabulated_ = false;
};

// The scores of a block's rows from the kernel's vector loops, which divide
// several pairs at a time where a scalar loop waits on each division; any
// other metric pair by pair.
template <class Metric>
void score_block(const Metric& metric, const QueryRow& query, const DbBlock& block,
                 const std::uint32_t* common, const BlockScratch& scratch, double* out) {
  if constexpr (std::is_same_v<Metric, TanimotoMetric>) {
    scratch.kernel.tanimoto_scores(query.count, block.counts, common, block.n_rows, out);
  } else if constexpr (std::is_same_v<Metric, DiceMetric>) {
    scratch.kernel.dice_scores(query.count, block.counts, common, block.n_rows, out);
  } else if constexpr (std::is_same_v<Metric, CosineMetric>) {
    scratch.kernel.cosine_scores(query.count, block.counts, common, block.n_rows, out);
  } else if constexpr (std::is_same_v<Metric, TverskyMetric>) {
    scratch.kernel.tversky_scores(metric.alpha(), metric.beta(), metric.rest(), query.count, block.counts,
                                  common, block.n_rows, out);
  } else {
    for (std::size_t t = 0; t < block.n_rows; ++t)
      out[t] = metric.score(query.count, block.counts[t], common[t]);
  }
}

// Writes the score against database row j to out[j - first_column].
template <class Metric>
class FullRow {
 public:
  FullRow(const Metric& metric, double* out, std::uint64_t first_column)
      : metric_(metric), out_(out), first_column_(first_column) {}

  bool finished() const { return false; }

  void scan(const QueryRow& query, const DbBlock& block, BlockScratch& scratch) {
    std::uint32_t* common = scratch.and_counts.data();
    scratch.kernel.and_count_rows(query.words, block.words, block.n_rows, scratch.n_words, common);
    score_block(metric_, query, block, common, scratch, out_ + (block.first - first_column_));
  }

 private:
  Metric metric_;
  double* out_;
  std::uint64_t first_column_;
};

// The running aggregate of a row, skipping database row `skip` (the query
// itself, for a set against itself).  `max` leaves out rows that cannot
// beat the running maximum and stops at 1.0; `min` stops at 0.0: neither
// changes the result (no metric scores below 0.0), and the mean, which
// needs every score, is never cut.
template <class Metric>
class AggregateRow {
 public:
  AggregateRow(const Metric& metric, AggregationMode mode, std::uint64_t skip, const QueryRow& query)
      : metric_(metric), mode_(mode), skip_(skip), beating_(metric, query.count) {}

  bool finished() const { return finished_; }

  // A mean row must be given room for one block's scores (PendingScores
  // does): it leaves their sum to end_block, which adds up four rows'
  // blocks side by side.  Each row's sum is still one chain in column
  // order, but four chains advance at once where a lone row's waits on
  // every addition.
  void defer_sums_to(double* pending) { pending_ = pending; }

  static void end_block(AggregateRow* rows, std::size_t n) {
    std::size_t s = 0;
    for (; s + 4 <= n; s += 4) add_four_pending(rows + s);
    for (; s < n; ++s) rows[s].add_pending();
  }

  void scan(const QueryRow& query, const DbBlock& block, BlockScratch& scratch) {
    if (mode_ == AggregationMode::max) return scan_for_max(query, block, scratch);
    std::uint32_t* common = scratch.and_counts.data();
    scratch.kernel.and_count_rows(query.words, block.words, block.n_rows, scratch.n_words, common);
    if (mode_ == AggregationMode::mean) {
      score_block(metric_, query, block, common, scratch, pending_);
      // Adding +0.0 leaves the sum as it was: a sum begun at +0.0 never
      // becomes -0.0, the one value it would change.
      if (skip_ >= block.first && skip_ - block.first < block.n_rows) pending_[skip_ - block.first] = 0.0;
      n_pending_ = block.n_rows;
      return;
    }
    double* scores = scratch.scores.data();
    score_block(metric_, query, block, common, scratch, scores);
    // The running minimum lives in a local for the block: kept in a
    // register, where a member would be stored and reloaded after every
    // pair.
    RowAggregate aggregate = aggregate_;
    for (std::size_t t = 0; t < block.n_rows; ++t) {
      if (block.first + t == skip_) continue;
      const double score = scores[t];
      aggregate.add_to_min(score);
      if (score == 0.0) {
        finished_ = true;
        break;
      }
    }
    aggregate_ = aggregate;
  }

  double value(std::uint64_t n_scores) const { return aggregate_.value(mode_, n_scores); }

 private:
  void add_pending() {
    RowAggregate aggregate = aggregate_;
    for (std::size_t t = 0; t < n_pending_; ++t) aggregate.add_to_sum(pending_[t]);
    aggregate_ = aggregate;
    n_pending_ = 0;
  }

  static void add_four_pending(AggregateRow* rows) {
    const std::size_t n = rows[0].n_pending_;
    if (rows[1].n_pending_ != n || rows[2].n_pending_ != n || rows[3].n_pending_ != n) {
      for (int r = 0; r < 4; ++r) rows[r].add_pending();
      return;
    }
    RowAggregate a0 = rows[0].aggregate_, a1 = rows[1].aggregate_, a2 = rows[2].aggregate_,
                 a3 = rows[3].aggregate_;
    const double *p0 = rows[0].pending_, *p1 = rows[1].pending_, *p2 = rows[2].pending_,
                 *p3 = rows[3].pending_;
    for (std::size_t t = 0; t < n; ++t) {
      a0.add_to_sum(p0[t]);
      a1.add_to_sum(p1[t]);
      a2.add_to_sum(p2[t]);
      a3.add_to_sum(p3[t]);
    }
    rows[0].aggregate_ = a0;
    rows[1].aggregate_ = a1;
    rows[2].aggregate_ = a2;
    rows[3].aggregate_ = a3;
    for (int r = 0; r < 4; ++r) rows[r].n_pending_ = 0;
  }

  void scan_for_max(const QueryRow& query, const DbBlock& block, BlockScratch& scratch) {
    if (!beating_.beat(aggregate_.max())) {
      finished_ = true;
      return;
    }
    const std::size_t n_picked = beating_.pick(query, block, skip_, scratch);
    std::uint32_t* common = scratch.and_counts.data();
    scratch.kernel.and_count_picked(query.words, block.words, scratch.picked.data(), n_picked,
                                    scratch.n_words, common);
    for (std::size_t p = 0; p < n_picked; ++p) {
      aggregate_.add_to_max(metric_.score(query.count, block.counts[scratch.picked[p]], common[p]));
    }
  }

  Metric metric_;
  AggregationMode mode_;
  std::uint64_t skip_;
  RowAggregate aggregate_;
  BeatingRows<Metric> beating_;
  bool finished_ = false;
  double* pending_ = nullptr;
  std::size_t n_pending_ = 0;
};

// Room for one block of scores per row of a group, where a mean leaves its
// sums to AggregateRow::end_block; none for the other modes.
class PendingScores {
 public:
  PendingScores(AggregationMode mode, std::size_t rows, std::uint64_t n_words)
      : block_(block_rows_for(n_words)), scores_(mode == AggregationMode::mean ? rows * block_ : 0) {}

  // `row`, with the room of group slot `slot` where it has any.
  template <class Metric>
  AggregateRow<Metric> defer(AggregateRow<Metric> row, std::size_t slot) {
    if (!scores_.empty()) row.defer_sums_to(scores_.data() + slot * block_);
    return row;
  }

 private:
  std::size_t block_;
  std::vector<double> scores_;
};

// The best k' scores of a row.  Once the heap is full, a database row whose
// best possible score is not above the heap's minimum could not enter it,
// so its AND count is skipped.
template <class Metric>
class TopKRow {
 public:
  TopKRow(const Metric& metric, TopKEntry* storage, std::size_t kept, std::uint64_t index_offset,
          const QueryRow& query, TopKTies ties)
      : metric_(metric),
        heap_(storage, kept, ties),
        kept_(kept),
        index_offset_(index_offset),
        beating_(metric, query.count) {}

  bool finished() const { return false; }

  void scan(const QueryRow& query, const DbBlock& block, BlockScratch& scratch) {
    std::size_t n_picked = 0;
    if (heap_.size() == kept_) {
      // An empty window picks nothing: the rest of the rows cannot enter.
      beating_.beat(heap_.min_score());
      n_picked = beating_.pick(query, block, UINT64_MAX, scratch);
    } else {
      for (std::size_t t = 0; t < block.n_rows; ++t) scratch.picked[t] = static_cast<std::uint32_t>(t);
      n_picked = block.n_rows;
    }
    std::uint32_t* common = scratch.and_counts.data();
    scratch.kernel.and_count_picked(query.words, block.words, scratch.picked.data(), n_picked,
                                    scratch.n_words, common);
    for (std::size_t p = 0; p < n_picked; ++p) {
      const std::uint32_t t = scratch.picked[p];
      const double score = metric_.score(query.count, block.counts[t], common[p]);
      // Indices are 32-bit; a window's offset wraps as the rows do.
      heap_.offer(score, static_cast<std::uint32_t>(block.first + t + index_offset_));
    }
  }

  // The entries kept so far, at most k'.
  std::size_t size() const { return heap_.size(); }

  void write(std::uint32_t* indices, double* scores) { heap_.write_sorted(indices, scores); }

 private:
  Metric metric_;
  TopKHeap heap_;
  std::size_t kept_;
  std::uint64_t index_offset_;
  BeatingRows<Metric> beating_;
};

}  // namespace quarnel::engine
