#include "engine/cross_search.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

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

// The database's bit counts are made only once the result is allocated,
// so a result that cannot be had fails before any work.
struct CrossSets {
  const std::uint64_t* queries;
  std::uint64_t n_queries;
  RowSet db;
  std::uint64_t n_words;
  CountedRows db_counts;

  // For the modes that prune by a running best: every count up front, with
  // segment counts where the metric can use them.
  template <class Metric>
  Result<Ok> count_db_rows(pool::WorkerPool& pool, const Metric& metric) {
    if (db.counts != nullptr) return Ok{};  // kept by a prepared database
    QUARNEL_TRY(counted, count_rows_for(metric, pool, db.words, db.n_rows, n_words));
    db_counts = std::move(counted);
    db.counts = db_counts.counts.data();
    db.segments = db_counts.segments.data();
    return Ok{};
  }

  // For the modes that read every row they reach: each block is counted
  // by the first scan that meets it.
  Result<Ok> count_db_blocks() {
    if (db.counts != nullptr) return Ok{};
    QUARNEL_TRY(counts, BlockCounts::create(db.words, db.n_rows, n_words, block_rows_for(n_words)));
    db_blocks.emplace(std::move(counts));
    db.block_counts = &*db_blocks;
    return Ok{};
  }

  std::optional<BlockCounts> db_blocks;
};

// A cross-set scan meets every database row.
constexpr auto from_first_row = [](std::uint64_t) -> std::uint64_t { return 0; };

// Starts one scorer per query of the group and scans the database with them.
template <class Scorer, class MakeScorer>
void scan_queries(const CrossSets& sets, std::uint64_t first, std::size_t n, BlockScratch& scratch,
                  MakeScorer make_scorer, std::vector<Scorer>& rows) {
  scan_query_group(sets.queries, sets.db, first, n, scratch, make_scorer, from_first_row, rows);
}

// Zero-width rows are empty: every pair scores what two empty rows score.
template <class Metric>
double empty_pair_score(const Metric& metric) {
  return metric.score(0, 0, 0);
}

template <class Metric>
Result<EngineOutput> full_matrix(pool::WorkerPool& pool, const Metric& metric, CrossSets& sets) {
  const std::uint64_t n_db = sets.db.n_rows;
  auto scores = allocate_result<double>(pool, sets.n_queries * n_db);
  if (!scores) return std::move(scores).error();
  double* out = scores->data();
  if (sets.n_words == 0) {
    std::fill_n(out, sets.n_queries * n_db, empty_pair_score(metric));
    return EngineOutput(matrix_buffer(std::move(scores).value(), sets.n_queries, n_db));
  }
  QUARNEL_CHECK(sets.count_db_blocks());
  QUARNEL_CHECK(for_each_query_group(pool, sets.n_queries, max_query_group, sets.n_words,
                                     [&](std::uint64_t first, std::size_t n, BlockScratch& scratch) {
                                       std::vector<FullRow<Metric>> rows;
                                       scan_queries(
                                           sets, first, n, scratch,
                                           [&](const QueryRow& query, std::size_t) {
                                             return FullRow<Metric>(metric, out + query.index * n_db, 0);
                                           },
                                           rows);
                                     }));
  return EngineOutput(matrix_buffer(std::move(scores).value(), sets.n_queries, n_db));
}

template <class Metric>
Result<EngineOutput> row_aggregates(pool::WorkerPool& pool, const Metric& metric, CrossSets& sets,
                                    AggregationMode mode) {
  auto values = allocate_zeroed<double>(sets.n_queries);
  if (!values) return std::move(values).error();
  double* out = values->data();
  if (sets.n_words == 0) {
    // The mean of equal scores is that score: 0.0 or 1.0, summed exactly.
    std::fill_n(out, sets.n_queries, empty_pair_score(metric));
    return EngineOutput(vector_buffer(std::move(values).value(), sets.n_queries));
  }
  if (mode == AggregationMode::max) {
    QUARNEL_CHECK(sets.count_db_rows(pool, metric));
  } else {
    QUARNEL_CHECK(sets.count_db_blocks());
  }
  QUARNEL_CHECK(for_each_query_group(pool, sets.n_queries, max_query_group, sets.n_words,
                                     [&](std::uint64_t first, std::size_t n, BlockScratch& scratch) {
                                       std::vector<AggregateRow<Metric>> rows;
                                       PendingScores pending(mode, n, sets.n_words);
                                       scan_queries(
                                           sets, first, n, scratch,
                                           [&](const QueryRow& query, std::size_t s) {
                                             return pending.defer(
                                                 AggregateRow<Metric>(metric, mode, UINT64_MAX, query), s);
                                           },
                                           rows);
                                       for (std::size_t s = 0; s < n; ++s)
                                         out[first + s] = rows[s].value(sets.db.n_rows);
                                     }));
  return EngineOutput(vector_buffer(std::move(values).value(), sets.n_queries));
}

// Fewer queries share a block when their heaps are large, so that a
// group's heaps stay within about a mebibyte.
std::size_t topk_group_size(std::uint64_t kept) {
  const std::uint64_t per_group = (std::uint64_t{1} << 20) / (kept * sizeof(TopKEntry));
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(per_group, 1, max_query_group));
}

// Zero-width rows all score the same.  A full heap takes only a score
// above its minimum and an equal score never moves past its parent, so
// every query keeps the first k' rows in database order.
void first_rows_for_every_query(std::uint32_t* indices, double* scores, double score, std::uint64_t n_queries,
                                std::uint64_t kept, std::uint64_t index_offset) {
  for (std::uint64_t j = 0; j < kept; ++j) indices[j] = static_cast<std::uint32_t>(j + index_offset);
  for (std::uint64_t i = 1; i < n_queries; ++i) std::copy_n(indices, kept, indices + i * kept);
  std::fill_n(scores, n_queries * kept, score);
}

template <class Metric>
Result<EngineOutput> top_k(pool::WorkerPool& pool, const Metric& metric, CrossSets& sets, std::uint64_t k,
                           std::uint64_t index_offset, TopKTies ties) {
  const std::uint64_t kept = std::min(k, sets.db.n_rows);
  auto indices = allocate_zeroed<std::uint32_t>(sets.n_queries * kept);
  if (!indices) return std::move(indices).error();
  auto scores = allocate_zeroed<double>(sets.n_queries * kept);
  if (!scores) return std::move(scores).error();

  if (kept != 0 && sets.n_words == 0) {
    first_rows_for_every_query(indices->data(), scores->data(), empty_pair_score(metric), sets.n_queries,
                               kept, index_offset);
  } else if (kept != 0) {
    QUARNEL_CHECK(sets.count_db_rows(pool, metric));
    std::uint32_t* index_out = indices->data();
    double* score_out = scores->data();
    const std::size_t group = topk_group_size(kept);
    QUARNEL_CHECK(for_each_query_group(
        pool, sets.n_queries, group, sets.n_words,
        [&](std::uint64_t first, std::size_t n, BlockScratch& scratch) {
          // A heap that cannot be had throws bad_alloc, which
          // run() passes on: the call fails as a whole.
          std::vector<TopKEntry> heaps(n * kept);
          std::vector<TopKRow<Metric>> rows;
          scan_queries(
              sets, first, n, scratch,
              [&](const QueryRow& query, std::size_t s) {
                return TopKRow<Metric>(metric, heaps.data() + s * kept, kept, index_offset, query, ties);
              },
              rows);
          for (std::size_t s = 0; s < n; ++s) {
            rows[s].write(index_out + (first + s) * kept, score_out + (first + s) * kept);
          }
        }));
  }
  return EngineOutput(TopKOutput{matrix_buffer(std::move(indices).value(), sets.n_queries, kept),
                                 matrix_buffer(std::move(scores).value(), sets.n_queries, kept)});
}

template <class Metric>
Result<EngineOutput> compute(pool::WorkerPool& pool, const Metric& metric, AggregationMode mode,
                             std::uint64_t k, TopKTies ties, CrossSets& sets, std::uint64_t index_offset) {
  switch (mode) {
    case AggregationMode::full: return full_matrix(pool, metric, sets);
    case AggregationMode::mean:
    case AggregationMode::max:
    case AggregationMode::min: return row_aggregates(pool, metric, sets, mode);
    case AggregationMode::topk: return top_k(pool, metric, sets, k, index_offset, ties);
  }
  return make_error(ErrorKind::internal_fault,
                    "unknown cross-set mode " + std::to_string(static_cast<std::uint64_t>(mode)));
}

}  // namespace

Result<EngineOutput> cross_similarity(const MetricChoice& metric, AggregationMode mode, std::uint64_t k,
                                      const RowView& queries, const RowView& db, std::int32_t n_threads,
                                      TopKTies ties, const KeptCounts* kept) {
  if (queries.n_rows == 0 || db.n_rows == 0 || queries.n_words != db.n_words) {
    return make_error(ErrorKind::internal_fault, "cross-set engine called with inconsistent sets");
  }
  const std::uint64_t n_words = queries.n_words;
  auto pool = pool::WorkerPool::for_call(n_threads, cross_pair_words(queries.n_rows, db.n_rows, n_words));
  if (!pool) return pool_build_error(pool.error());
  // A refusal leaves by the pool's destructor, which shuts it down.
  QUARNEL_CHECK(refuse_unfit_call(cross_call_bytes(static_cast<std::uint64_t>(mode), k, n_words,
                                                   queries.n_rows, db.n_rows, pool->thread_count())));
  CrossSets sets{queries.words, queries.n_rows, RowSet{db.words, nullptr, db.n_rows}, n_words, {}, {}};
  if (kept != nullptr) {
    sets.db.counts = kept->counts;
    sets.db.segments = kept->segments;
  }
  auto output = with_metric(
      metric, [&](const auto& policy) { return compute(*pool, policy, mode, k, ties, sets, db.first_row); });
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine
