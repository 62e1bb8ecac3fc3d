#include "engine/arena/prepared_search.hpp"

#include "engine/arena/range_threshold.hpp"
#include "engine/arena/walk_topk.hpp"
#include "engine/cross_search.hpp"
#include "engine/threshold_search.hpp"

namespace quarnel::engine::arena {
namespace {

// Up to this many queries walk the groups each on their own; more share
// the row-order scan, which reads each block of rows once for a group of
// queries.
constexpr std::uint64_t walk_query_limit = 64;

// A threshold search reads the candidate ranges only while they hold at
// most this share of all pairs: beyond it, putting many hits back in row
// order costs more than the scan that finds them in it.
constexpr double range_share_limit = 0.5;

RowView rows_of(const PreparedRows& db, DbWindow window) {
  return RowView{db.rows.words + window.first * db.rows.n_words, window.n_rows, db.rows.n_words,
                 window.first};
}

// Whether the groups can serve a search of these queries over the window.
bool groups_serve(const PreparedRows& db, DbWindow window, const RowView& queries) {
  return db.groups && window.first == 0 && window.n_rows == db.rows.n_rows && db.rows.n_words != 0 &&
         queries.n_rows <= walk_query_limit;
}

}  // namespace

Result<EngineOutput> prepared_cross(const MetricChoice& metric, AggregationMode mode, std::uint64_t k,
                                    const RowView& queries, const PreparedRows& db, DbWindow window,
                                    std::int32_t n_threads) {
  if (mode == AggregationMode::topk && k != 0 && groups_serve(db, window, queries)) {
    return walk_topk(metric, k, queries, db, n_threads);
  }
  const KeptCounts kept = db.kept_from(window.first);
  return cross_similarity(metric, mode, k, queries, rows_of(db, window), n_threads, TopKTies::lower_row,
                          &kept);
}

Result<CsrOutput> prepared_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                     const PreparedRows& db, DbWindow window, std::int32_t n_threads) {
  if (groups_serve(db, window, queries)) {
    const double pairs = static_cast<double>(queries.n_rows) * static_cast<double>(db.rows.n_rows);
    if (static_cast<double>(candidate_rows(metric, threshold, queries, db)) <= range_share_limit * pairs) {
      return range_threshold(metric, threshold, queries, db, n_threads);
    }
  }
  const KeptCounts kept = db.kept_from(window.first);
  return cross_threshold(metric, threshold, queries, rows_of(db, window), n_threads, &kept);
}

}  // namespace quarnel::engine::arena
