#include "engine/arena/prepared_search.hpp"

#include "engine/arena/lanes.hpp"
#include "engine/arena/range_threshold.hpp"
#include "engine/cross_search.hpp"
#include "engine/threshold_search.hpp"

namespace quarnel::engine::arena {
namespace {

// Up to this many queries search the groups or their lanes each on their
// own; more share the row-order scan, which reads each block of rows once
// for a group of queries.
constexpr std::uint64_t own_search_limit = 64;

// Where the queries are as many as the workers, they read their own ranges
// only while those hold at most this share of all pairs.  On a million
// 2048-bit rows (AMD EPYC, 16 to 64 queries) both ways took about as long
// at threshold 0.7 (a share of 0.6) and their own ranges three times as
// long at 0.5 (0.9), where most rows must be scored.
constexpr double own_share_limit = 0.5;

RowView rows_of(const PreparedRows& db, DbWindow window) {
  return RowView{db.rows.words + window.first * db.rows.n_words, window.n_rows, db.rows.n_words,
                 window.first};
}

// Whether the queries may be searched each on their own.
bool own_searches_serve(const PreparedRows& db, DbWindow window, const RowView& queries) {
  return window.n_rows != 0 && db.rows.n_words != 0 && queries.n_rows <= own_search_limit;
}

bool whole(const PreparedRows& db, DbWindow window) {
  return window.first == 0 && window.n_rows == db.rows.n_rows;
}

}  // namespace

Result<EngineOutput> prepared_cross(const MetricChoice& metric, AggregationMode mode, std::uint64_t k,
                                    const RowView& queries, const PreparedRows& db, DbWindow window,
                                    std::int32_t n_threads) {
  // The walk reads few rows; lanes in row order keep every worker busy
  // where the queries are fewer than them.
  if (mode == AggregationMode::topk && k != 0 && own_searches_serve(db, window, queries) &&
      ((db.groups && whole(db, window)) || queries.n_rows < pool_size(n_threads))) {
    return lane_topk(metric, k, queries, db, window, n_threads);
  }
  const KeptCounts kept = db.kept_from(window.first);
  return cross_similarity(metric, mode, k, queries, rows_of(db, window), n_threads, TopKTies::lower_row,
                          &kept);
}

Result<CsrOutput> prepared_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                     const PreparedRows& db, DbWindow window, std::int32_t n_threads) {
  // Lanes keep every worker busy where the queries are fewer than them;
  // otherwise queries read rows on their own only where their ranges are
  // narrow: a group of queries in the row-order scan reads each block once
  // for all of them, where the rows many of them must score lie.
  if (own_searches_serve(db, window, queries) &&
      (queries.n_rows < pool_size(n_threads) ||
       read_share(metric, threshold, queries, db, window) <= own_share_limit)) {
    return range_threshold(metric, threshold, queries, db, window, n_threads);
  }
  const KeptCounts kept = db.kept_from(window.first);
  return cross_threshold(metric, threshold, queries, rows_of(db, window), n_threads, &kept);
}

}  // namespace quarnel::engine::arena
