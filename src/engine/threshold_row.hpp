#pragma once
// One row of a threshold search: keeps, in increasing column order, every
// scanned row whose score reaches the threshold.  A row whose counts rule
// it out (its bound is below the threshold) is never AND-counted.

#include <cmath>
#include <cstdint>

#include "engine/block_scan.hpp"
#include "engine/row_scorers.hpp"
#include "engine/score_bound.hpp"
#include "engine/threshold_hits.hpp"

namespace quarnel::engine {

template <class Metric>
class ThresholdRow {
 public:
  ThresholdRow(const Metric& metric, RowHits& hits, double threshold, HitBudget& budget)
      : metric_(metric), hits_(&hits), budget_(&budget), threshold_(threshold) {}

  bool finished() const { return done_ || budget_->exhausted(); }

  void scan(const QueryRow& query, const DbBlock& block, BlockScratch& scratch) {
    if (!started_) start(query.count);
    if (done_) return;
    const std::size_t n_picked = beating_.pick(query, block, UINT64_MAX, scratch);
    std::uint32_t* common = scratch.and_counts.data();
    if (n_picked == block.n_rows) {
      // Every row of the block is in the window: no gather needed.
      scratch.kernel.and_count_rows(query.words, block.words, block.n_rows, scratch.n_words, common);
    } else {
      scratch.kernel.and_count_picked(query.words, block.words, scratch.picked.data(), n_picked,
                                      scratch.n_words, common);
    }
    for (std::size_t p = 0; p < n_picked; ++p) {
      const std::uint32_t t = scratch.picked[p];
      if (!(metric_.score(query.count, block.counts[t], common[p]) >= threshold_)) continue;
      // Rows are numbered in 32 bits: a set never holds more.
      if (!hits_->add({static_cast<std::uint32_t>(block.first + t), common[p]}, *budget_)) {
        done_ = true;
        return;
      }
    }
  }

  void finish() { hits_->trim(*budget_); }

 private:
  void start(std::uint32_t count) {
    started_ = true;
    hits_->set_count(count);
    // Scores are doubles, so one reaches the threshold exactly when it beats
    // the double just below it.
    beating_ = BeatingRows<Metric>(metric_, count);
    done_ = !beating_.beat(std::nextafter(threshold_, -1.0));
  }

  Metric metric_;
  RowHits* hits_;
  HitBudget* budget_;
  double threshold_;
  BeatingRows<Metric> beating_{metric_, 0};
  bool started_ = false;
  bool done_ = false;
};

}  // namespace quarnel::engine
