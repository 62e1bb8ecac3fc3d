#include "engine/threshold_tanimoto.hpp"

#include <new>
#include <vector>

#include "common/available_memory.hpp"
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

// What the workers of one search share: the rows they search, the set
// they search, and where the hits go.
struct ThresholdScan {
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
      std::vector<ThresholdRow> scorers;
      scan_query_group(
          query_words, set, first, n, scratch,
          [&](std::uint64_t i, std::size_t) { return ThresholdRow(rows[i], threshold, budget); },
          first_column, scorers);
      for (ThresholdRow& scorer : scorers) scorer.finish();
    } catch (const std::bad_alloc&) {
      budget.exhaust();
    }
  }
};

// Searches rows [0, n_rows) of `query_words`; row i meets `set` from
// first_column(i) on.
template <class FirstColumn>
Result<std::vector<RowHits>> search_rows(pool::WorkerPool& pool, const std::uint64_t* query_words,
                                         std::uint64_t n_rows, const RowSet& set, std::uint64_t n_words,
                                         double threshold, std::uint64_t max_hits, FirstColumn first_column) {
  std::vector<RowHits> rows;
  try {
    rows.resize(n_rows);
  } catch (const std::bad_alloc&) {
    return results_too_large();
  }
  HitBudget budget(max_hits);
  ThresholdScan scan{query_words, set, threshold, rows, budget};
  QUARNEL_CHECK(for_each_query_group(pool, n_rows, max_query_group, n_words,
                                     [&](std::uint64_t first, std::size_t n, BlockScratch& scratch) {
                                       scan.search_group(first, n, scratch, first_column);
                                     }));
  if (budget.exhausted()) return results_too_large();
  return rows;
}

Result<CsrOutput> search_cross(pool::WorkerPool& pool, double threshold, std::uint64_t n_words,
                               std::uint64_t n_queries, const std::uint64_t* queries, RowSet db,
                               std::uint64_t index_offset) {
  const std::uint64_t certain_hits = threshold == 0.0 ? product_or_max(n_queries, db.n_rows) : 0;
  QUARNEL_TRY(max_hits, hit_allowance(n_queries, certain_hits, cross_hit_bytes));
  QUARNEL_TRY(db_counts, count_row_bits(pool, db.words, db.n_rows, n_words));
  db.counts = db_counts.data();
  QUARNEL_TRY(rows, search_rows(pool, queries, n_queries, db, n_words, threshold, max_hits,
                                [](std::uint64_t) -> std::uint64_t { return 0; }));
  return assemble_cross_rows(pool, rows, db.counts, index_offset);
}

Result<CsrOutput> search_internal(pool::WorkerPool& pool, double threshold, std::uint64_t n_words,
                                  RowSet set) {
  const std::uint64_t n = set.n_rows;
  // Each unordered pair is scored once, by its smaller row; n < 2^32, so
  // n * (n - 1) fits 64 bits.
  QUARNEL_TRY(max_hits, hit_allowance(n, threshold == 0.0 ? n * (n - 1) / 2 : 0, mirrored_hit_bytes));
  QUARNEL_TRY(counts, count_row_bits(pool, set.words, n, n_words));
  set.counts = counts.data();
  QUARNEL_TRY(rows, search_rows(pool, set.words, n, set, n_words, threshold, max_hits,
                                [](std::uint64_t i) { return i + 1; }));
  return assemble_mirrored_rows(rows, set.counts);
}

bool valid_threshold(double threshold) { return threshold >= 0.0 && threshold <= 1.0; }

}  // namespace

Result<CsrOutput> cross_threshold(double threshold, std::uint64_t n_words, std::uint64_t n_queries,
                                  std::uint64_t n_db, const std::uint64_t* queries, std::uint64_t queries_len,
                                  const std::uint64_t* db, std::uint64_t db_len, std::int32_t n_threads,
                                  std::uint64_t index_offset) {
  if (!valid_threshold(threshold) || n_queries == 0 || n_db == 0 || n_db > UINT32_MAX ||
      queries_len != n_queries * n_words || db_len != n_db * n_words) {
    return make_error(ErrorKind::internal_fault, "threshold engine called with inconsistent sets");
  }
  auto pool = pool::WorkerPool::create(n_threads);
  if (!pool) return pool_build_error(pool.error());
  auto output =
      search_cross(*pool, threshold, n_words, n_queries, queries, RowSet{db, nullptr, n_db}, index_offset);
  pool->shutdown();
  return output;
}

Result<CsrOutput> internal_threshold(double threshold, std::uint64_t n_words, std::uint64_t n_fps,
                                     const std::uint64_t* words, std::uint64_t words_len,
                                     std::int32_t n_threads) {
  if (!valid_threshold(threshold) || n_fps == 0 || n_fps > UINT32_MAX || words_len != n_fps * n_words) {
    return make_error(ErrorKind::internal_fault, "threshold engine called with an inconsistent set");
  }
  auto pool = pool::WorkerPool::create(n_threads);
  if (!pool) return pool_build_error(pool.error());
  auto output = search_internal(*pool, threshold, n_words, RowSet{words, nullptr, n_fps});
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine
