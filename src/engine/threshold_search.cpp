#include "engine/threshold_search.hpp"

#include <new>
#include <vector>

#include "common/available_memory.hpp"
#include "engine/call_work.hpp"
#include "engine/csr_assembly.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/query_groups.hpp"
#include "engine/row_counts.hpp"
#include "engine/threshold_row.hpp"

namespace quarnel::engine {
namespace {

// Memory a kept hit costs until the call returns: its slot while the rows
// are searched, and its index and score in the result, which are allocated
// while the slots still exist.
constexpr std::uint64_t cross_hit_bytes = sizeof(ThresholdHit) + sizeof(std::uint32_t) + sizeof(double);
// A pair of a set with itself is kept once and listed in both its rows.
constexpr std::uint64_t mirrored_hit_bytes =
    sizeof(ThresholdHit) + 2 * (sizeof(std::uint32_t) + sizeof(double));
// Per row: its hit list, its indptr entry and (for a set against itself)
// its write cursor.
constexpr std::uint64_t row_bytes = sizeof(RowHits) + sizeof(std::int64_t) + sizeof(std::uint64_t);

Error results_too_large() {
  return make_error(ErrorKind::memory_error,
                    "the pairs that reach the threshold need more memory than this machine has");
}

// a * b, or UINT64_MAX where that does not fit 64 bits.
std::uint64_t product_or_max(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// How many hits the call may keep, or an error when even its rows do not
// fit.  `certain_hits` is what the search is sure to find (every pair, at
// threshold 0), refused here rather than after filling memory.
Result<std::uint64_t> hit_allowance(std::uint64_t n_rows, std::uint64_t certain_hits,
                                    std::uint64_t bytes_per_hit) {
  const std::uint64_t available = available_memory_bytes();
  if (n_rows > available / row_bytes) return results_too_large();
  const std::uint64_t max_hits = (available - n_rows * row_bytes) / bytes_per_hit;
  if (certain_hits > max_hits) return results_too_large();
  return max_hits;
}

// What the workers of one search share: the metric that decides a hit, the
// rows they search, the set they search, and where the hits go.
template <class Metric>
struct ThresholdScan {
  Metric metric;
  const std::uint64_t* query_words;
  const RowSet& set;
  double threshold;
  std::vector<RowHits>& rows;
  HitBudget& budget;

  // Rows first .. first + n - 1, row i meeting the set from first_column(i)
  // on.  Runs on a worker: a failed allocation stops every worker through
  // the budget, and the call fails once they are done.
  template <class FirstColumn>
  void search_group(std::uint64_t first, std::size_t n, BlockScratch& scratch, FirstColumn first_column) {
    try {
      std::vector<ThresholdRow<Metric>> scorers;
      scan_query_group(
          query_words, set, first, n, scratch,
          [&](const QueryRow& query, std::size_t) {
            return ThresholdRow<Metric>(metric, rows[query.index], threshold, budget);
          },
          first_column, scorers);
      for (ThresholdRow<Metric>& scorer : scorers) scorer.finish();
    } catch (const std::bad_alloc&) {
      budget.exhaust();
    }
  }
};

// Searches rows [0, n_rows) of `query_words`; row i meets `set` from
// first_column(i) on.
template <class Metric, class FirstColumn>
Result<std::vector<RowHits>> search_rows(pool::WorkerPool& pool, const Metric& metric,
                                         const std::uint64_t* query_words, std::uint64_t n_rows,
                                         const RowSet& set, std::uint64_t n_words, double threshold,
                                         std::uint64_t max_hits, FirstColumn first_column) {
  std::vector<RowHits> rows;
  try {
    rows.resize(n_rows);
  } catch (const std::bad_alloc&) {
    return results_too_large();
  }
  HitBudget budget(max_hits);
  ThresholdScan<Metric> scan{metric, query_words, set, threshold, rows, budget};
  QUARNEL_CHECK(for_each_query_group(pool, n_rows, max_query_group, n_words,
                                     [&](std::uint64_t first, std::size_t n, BlockScratch& scratch) {
                                       scan.search_group(first, n, scratch, first_column);
                                     }));
  if (budget.exhausted()) return results_too_large();
  return rows;
}

template <class Metric>
Result<CsrOutput> search_cross(pool::WorkerPool& pool, const Metric& metric, double threshold,
                               std::uint64_t n_words, std::uint64_t n_queries, const std::uint64_t* queries,
                               RowSet db, std::uint64_t index_offset, const KeptCounts* kept) {
  const std::uint64_t certain_hits = threshold == 0.0 ? product_or_max(n_queries, db.n_rows) : 0;
  QUARNEL_TRY(max_hits, hit_allowance(n_queries, certain_hits, cross_hit_bytes));
  CountedRows db_counts;
  if (kept != nullptr) {
    db.counts = kept->counts;
    db.segments = kept->segments;
  } else {
    QUARNEL_TRY(counted, count_rows_for(metric, pool, db.words, db.n_rows, n_words));
    db_counts = std::move(counted);
    db.counts = db_counts.counts.data();
    db.segments = db_counts.segments.data();
  }
  QUARNEL_TRY(rows, search_rows(pool, metric, queries, n_queries, db, n_words, threshold, max_hits,
                                [](std::uint64_t) -> std::uint64_t { return 0; }));
  return assemble_cross_rows(pool, metric, rows, db.counts, index_offset);
}

// Each unordered pair is met once, by its smaller row, which keeps it when
// either direction reaches the threshold (the same test for a symmetric
// metric); the assembly then lists it under each row whose direction does.
template <class Metric>
Result<CsrOutput> search_internal(pool::WorkerPool& pool, const Metric& metric, double threshold,
                                  std::uint64_t n_words, RowSet set) {
  const std::uint64_t n = set.n_rows;
  // n < 2^32, so n * (n - 1) fits 64 bits.
  QUARNEL_TRY(max_hits, hit_allowance(n, threshold == 0.0 ? n * (n - 1) / 2 : 0, mirrored_hit_bytes));
  QUARNEL_TRY(counts, count_rows_for(either_direction(metric), pool, set.words, n, n_words));
  set.counts = counts.counts.data();
  set.segments = counts.segments.data();
  QUARNEL_TRY(rows, search_rows(pool, either_direction(metric), set.words, n, set, n_words, threshold,
                                max_hits, [](std::uint64_t i) { return i + 1; }));
  return assemble_mirrored_rows(metric, rows, set.counts, threshold);
}

bool valid_threshold(double threshold) { return threshold >= 0.0 && threshold <= 1.0; }

}  // namespace

Result<CsrOutput> cross_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                  const RowView& db, std::int32_t n_threads, const KeptCounts* kept) {
  if (!valid_threshold(threshold) || queries.n_rows == 0 || db.n_rows == 0 || db.n_rows > UINT32_MAX ||
      queries.n_words != db.n_words) {
    return make_error(ErrorKind::internal_fault, "threshold engine called with inconsistent sets");
  }
  auto pool =
      pool::WorkerPool::for_call(n_threads, cross_pair_words(queries.n_rows, db.n_rows, queries.n_words));
  if (!pool) return pool_build_error(pool.error());
  auto output = with_metric(metric, [&](const auto& policy) {
    return search_cross(*pool, policy, threshold, queries.n_words, queries.n_rows, queries.words,
                        RowSet{db.words, nullptr, db.n_rows}, db.first_row, kept);
  });
  pool->shutdown();
  return output;
}

Result<CsrOutput> internal_threshold(const MetricChoice& metric, double threshold, const RowView& rows,
                                     std::int32_t n_threads) {
  if (!valid_threshold(threshold) || rows.n_rows == 0 || rows.n_rows > UINT32_MAX) {
    return make_error(ErrorKind::internal_fault, "threshold engine called with an inconsistent set");
  }
  auto pool = pool::WorkerPool::for_call(n_threads, internal_pair_words(rows.n_rows, rows.n_words));
  if (!pool) return pool_build_error(pool.error());
  auto output = with_metric(metric, [&](const auto& policy) {
    return search_internal(*pool, policy, threshold, rows.n_words, RowSet{rows.words, nullptr, rows.n_rows});
  });
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine
