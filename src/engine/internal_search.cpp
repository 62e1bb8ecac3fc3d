#include "engine/internal_search.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "engine/best_first_max.hpp"
#include "engine/call_footprint.hpp"
#include "engine/call_work.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/query_groups.hpp"
#include "engine/result_pages.hpp"
#include "engine/row_counts.hpp"
#include "engine/row_scorers.hpp"

namespace quarnel::engine {
namespace {

// Pair (i, j), i < j, sits at i*N - i*(i+1)/2 + (j - i - 1): the upper
// triangle row by row, without the diagonal.
std::uint64_t condensed_row_start(std::uint64_t i, std::uint64_t n) { return i * n - i * (i + 1) / 2; }

// Starts one scorer per row of the group and scans the set with them; a
// row meets the rows from first_column(i) on.
template <class Scorer, class MakeScorer, class FirstColumn>
void scan_rows(const RowSet& set, std::uint64_t first, std::size_t n, BlockScratch& scratch,
               MakeScorer make_scorer, FirstColumn first_column, std::vector<Scorer>& rows) {
  scan_query_group(
      set.words, set, first, n, scratch,
      [&](const QueryRow& query, std::size_t) { return make_scorer(query); }, first_column, rows);
}

template <class Metric>
Result<EngineOutput> condensed_pairs(pool::WorkerPool& pool, const Metric& metric, RowSet set,
                                     std::uint64_t n_words) {
  const std::uint64_t n = set.n_rows;
  // n < 2^32, so n * (n - 1) fits 64 bits.
  auto scores = allocate_result<double>(pool, n * (n - 1) / 2);
  if (!scores) return std::move(scores).error();
  const std::uint64_t length = n * (n - 1) / 2;
  double* out = scores->data();
  // Zero-width rows are empty: every pair scores what two empty rows score.
  if (n_words == 0) {
    std::fill_n(out, length, metric.score(0, 0, 0));
    return EngineOutput(vector_buffer(std::move(scores).value(), length));
  }
  QUARNEL_TRY(counts, count_row_bits(pool, set.words, n, n_words));
  set.counts = counts.data();
  QUARNEL_CHECK(for_each_query_group(
      pool, n, max_query_group, n_words, [&](std::uint64_t first, std::size_t count, BlockScratch& scratch) {
        std::vector<FullRow<Metric>> rows;
        scan_rows(
            set, first, count, scratch,
            [&](const QueryRow& query) {
              const std::uint64_t i = query.index;
              return FullRow<Metric>(metric, out + condensed_row_start(i, n), i + 1);
            },
            [](std::uint64_t i) { return i + 1; }, rows);
      }));
  return EngineOutput(vector_buffer(std::move(scores).value(), length));
}

// The best-first walk works on a copy of the set in count order, read in
// runs.  On AMD EPYC (Zen 4), 2048-bit internal max, one thread, it beat
// the row-order scan 2.2x at 6,000 rows, 3.2x at 20,000 and about 2.7x at
// 100,000; the bound is the copy's memory, not the cache.  Larger sets are
// scanned in place.
constexpr std::uint64_t best_first_max_bytes = std::uint64_t{64} << 20;

template <class Metric>
Result<EngineOutput> row_aggregates(pool::WorkerPool& pool, const Metric& metric, RowSet set,
                                    std::uint64_t n_words, AggregationMode mode) {
  const std::uint64_t n = set.n_rows;
  auto values = allocate_zeroed<double>(n);
  if (!values) return std::move(values).error();
  double* out = values->data();
  // A single row has no other row to compare with: its value stays 0.0.
  if (n < 2) return EngineOutput(vector_buffer(std::move(values).value(), n));
  // Zero-width rows all score the same; so does their mean, summed exactly.
  if (n_words == 0) {
    std::fill_n(out, n, metric.score(0, 0, 0));
    return EngineOutput(vector_buffer(std::move(values).value(), n));
  }
  // Max prunes by a running best, with segment counts where they serve.
  CountedRows counted;
  if (mode == AggregationMode::max) {
    QUARNEL_TRY(with_segments, count_rows_for(metric, pool, set.words, n, n_words));
    counted = std::move(with_segments);
  } else {
    QUARNEL_TRY(counts, count_row_bits(pool, set.words, n, n_words));
    counted.counts = std::move(counts);
  }
  set.counts = counted.counts.data();
  set.segments = counted.segments.data();
  if (mode == AggregationMode::max && n * n_words * sizeof(std::uint64_t) <= best_first_max_bytes) {
    QUARNEL_TRY(sorted, copy_rows_by_count(set, n_words));
    QUARNEL_TRY(met, allocate_zeroed<double>(n));
    const BestFirstMax<Metric> best_first(metric, sorted, ScoresMet(met.data()));
    const std::uint32_t* rows = sorted.rows.data();
    QUARNEL_CHECK(for_each_query_group(pool, n, max_query_group, n_words,
                                       [&](std::uint64_t first, std::size_t count, BlockScratch& scratch) {
                                         for (std::uint64_t p = first; p < first + count; ++p) {
                                           out[rows[p]] = best_first.of(p, scratch);
                                         }
                                       }));
    return EngineOutput(vector_buffer(std::move(values).value(), n));
  }
  QUARNEL_CHECK(for_each_query_group(
      pool, n, max_query_group, n_words, [&](std::uint64_t first, std::size_t count, BlockScratch& scratch) {
        std::vector<AggregateRow<Metric>> rows;
        PendingScores pending(mode, count, n_words);
        scan_rows(
            set, first, count, scratch,
            [&](const QueryRow& query) {
              return pending.defer(AggregateRow<Metric>(metric, mode, query.index, query),
                                   query.index - first);
            },
            [](std::uint64_t) { return std::uint64_t{0}; }, rows);
        for (std::size_t s = 0; s < count; ++s) out[first + s] = rows[s].value(n - 1);
      }));
  return EngineOutput(vector_buffer(std::move(values).value(), n));
}

// Each mode allocates its result before it counts the rows' bits, so a
// result that cannot be had fails before any work.
template <class Metric>
Result<EngineOutput> compute(pool::WorkerPool& pool, const Metric& metric, AggregationMode mode, RowSet set,
                             std::uint64_t n_words) {
  switch (mode) {
    case AggregationMode::full: return condensed_pairs(pool, metric, set, n_words);
    case AggregationMode::mean:
    case AggregationMode::max:
    case AggregationMode::min: return row_aggregates(pool, metric, set, n_words, mode);
    default: break;
  }
  return make_error(ErrorKind::value_error, "Top-K is not supported for internal similarity matrices.");
}

}  // namespace

Result<EngineOutput> internal_similarity(const MetricChoice& metric, AggregationMode mode,
                                         const RowView& rows, std::int32_t n_threads) {
  if (rows.n_rows == 0 || rows.n_rows > UINT32_MAX) {
    return make_error(ErrorKind::internal_fault, "internal engine called with an inconsistent set");
  }
  auto pool = pool::WorkerPool::for_call(n_threads, internal_pair_words(rows.n_rows, rows.n_words));
  if (!pool) return pool_build_error(pool.error());
  // A refusal leaves by the pool's destructor, which shuts it down.
  QUARNEL_CHECK(
      refuse_unfit_call(internal_call_bytes(static_cast<std::uint64_t>(mode), rows.n_words, rows.n_rows)));
  const RowSet set{rows.words, nullptr, rows.n_rows};
  auto output = with_metric(
      metric, [&](const auto& policy) { return compute(*pool, policy, mode, set, rows.n_words); });
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine
