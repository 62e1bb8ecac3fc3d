#include "engine/arena/range_threshold.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "common/available_memory.hpp"
#include "engine/arena/lanes.hpp"
#include "engine/call_work.hpp"
#include "engine/csr_assembly.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/query_groups.hpp"
#include "engine/score_bound.hpp"
#include "engine/threshold_row.hpp"

namespace quarnel::engine::arena {
namespace {

// Positions [first, end) of the stored rows or of the rows in their own
// order.
struct PositionRange {
  std::uint64_t first = 0;
  std::uint64_t end = 0;

  std::uint64_t size() const { return end - first; }

  // Piece s of n nearly equal pieces.
  PositionRange piece(std::uint64_t s, std::uint64_t n) const {
    return PositionRange{first + size() * s / n, first + size() * (s + 1) / n};
  }
};

// A query reads its stored range while that holds at most this share of
// the rows: past it, putting many hits back in row order costs more than
// the few rows it saves reading.
constexpr double range_share_limit = 0.75;

// What one query reads.
struct QueryPlan {
  bool stored;  // a range of the stored rows, else the rows in their own order
  PositionRange rows;
};

// The rows whose count can reach the threshold for a query of `count` bits
// are one range of stored rows, as the counts that can are one interval.
// Scores are doubles, so one reaches the threshold exactly when it beats
// the double just below it.
template <class Metric>
QueryPlan plan_for(const Metric& metric, double threshold, std::uint32_t count, const PreparedRows& db,
                   DbWindow window) {
  const QueryPlan in_order{false, {window.first, window.first + window.n_rows}};
  if (!db.groups || window.first != 0 || window.n_rows != db.rows.n_rows) return in_order;
  const CountWindow counts = CountWindow::beating(metric, count, std::nextafter(threshold, -1.0));
  if (counts.empty() || counts.lowest() > db.n_bits) return QueryPlan{true, {}};
  const PositionRange range{db.groups->first_of(counts.lowest()), db.groups->end_of(counts.highest())};
  const double share = static_cast<double>(range.size()) / static_cast<double>(window.n_rows);
  return share <= range_share_limit ? QueryPlan{true, range} : in_order;
}

// The rows a plan's piece reads, with their counts and segments.
RowSet rows_of(const PreparedRows& db, bool stored, const PositionRange& piece) {
  const std::uint64_t n_words = db.rows.n_words;
  const std::uint64_t* words = stored ? db.groups->words.data() : db.rows.words;
  const std::uint32_t* counts = stored ? db.groups->counts.data() : db.counts.data();
  const OwnedBuffer<std::uint8_t>& segments = stored ? db.groups->segments : db.segments;
  return RowSet{words + piece.first * n_words, counts + piece.first, piece.size(),
                segments.size() == 0 ? nullptr : segments.data() + piece.first * kernel::row_segments,
                nullptr};
}

Error results_too_large() {
  return make_error(ErrorKind::memory_error,
                    "the pairs that reach the threshold need more memory than this machine has");
}

// A kept hit costs its slot while the rows are searched, its renumbered
// copy and its index and score in the result; a query its hit lists.
constexpr std::uint64_t hit_bytes = 2 * sizeof(ThresholdHit) + sizeof(std::uint32_t) + sizeof(double);
constexpr std::uint64_t query_bytes = 2 * sizeof(RowHits) + sizeof(std::int64_t);

// How many hits the call may keep, or an error when even what it is sure
// to find (every pair, at threshold 0) does not fit.
Result<std::uint64_t> hit_allowance(std::uint64_t n_queries, std::uint64_t n_tasks,
                                    std::uint64_t certain_hits) {
  const std::uint64_t available = available_memory_bytes();
  const std::uint64_t fixed = n_queries * query_bytes + n_tasks * sizeof(RowHits);
  if (fixed > available) return results_too_large();
  const std::uint64_t max_hits = (available - fixed) / hit_bytes;
  if (certain_hits > max_hits) return results_too_large();
  return max_hits;
}

// The hits of one query's pieces as original rows in increasing order, as
// the row-order search lists them: pieces of the rows in their own order
// follow each other; those of stored rows are renumbered and sorted.
void gather_hits(RowHits* pieces, const std::uint64_t* piece_first, std::uint64_t n_pieces, bool stored,
                 const std::uint32_t* row_of, std::uint32_t count, RowHits& out) {
  std::size_t total = 0;
  for (std::uint64_t s = 0; s < n_pieces; ++s) total += pieces[s].hits().size();
  std::vector<ThresholdHit> hits;
  hits.reserve(total);
  for (std::uint64_t s = 0; s < n_pieces; ++s) {
    const std::uint64_t first = piece_first[s];
    for (const ThresholdHit& hit : pieces[s].hits()) {
      const std::uint64_t position = first + hit.column;
      hits.push_back({stored ? row_of[position] : static_cast<std::uint32_t>(position), hit.common});
    }
    pieces[s] = RowHits();  // freed as soon as copied
  }
  if (stored) {
    std::sort(hits.begin(), hits.end(),
              [](const ThresholdHit& x, const ThresholdHit& y) { return x.column < y.column; });
  }
  out.set_count(count);
  out.adopt(std::move(hits));
}

template <class Metric>
Result<CsrOutput> search(pool::WorkerPool& pool, const Metric& metric, double threshold,
                         const RowView& queries, const PreparedRows& db, DbWindow window) {
  const std::uint64_t n_queries = queries.n_rows;
  const std::uint64_t n_words = db.rows.n_words;
  const std::uint64_t lanes = lanes_per_query(n_queries, pool.thread_count());
  const std::uint64_t n_tasks = n_queries * lanes;
  const std::uint64_t certain = threshold == 0.0 ? n_queries * window.n_rows : 0;
  QUARNEL_TRY(max_hits, hit_allowance(n_queries, n_tasks, certain));
  std::vector<RowHits> pieces, rows;
  std::vector<std::uint64_t> piece_first;
  std::vector<QueryPlan> plans;
  std::vector<std::uint32_t> query_counts;
  try {
    pieces.resize(n_tasks);
    piece_first.resize(n_tasks);
    rows.resize(n_queries);
    plans.resize(n_queries);
    query_counts.resize(n_queries);
  } catch (const std::bad_alloc&) {
    return results_too_large();
  }
  const kernel::KernelTable& kernel = kernel::kernel_for_width(n_words);
  for (std::uint64_t q = 0; q < n_queries; ++q) {
    query_counts[q] = query_row(queries.words, q, n_words, kernel).count;
    plans[q] = plan_for(metric, threshold, query_counts[q], db, window);
  }
  HitBudget budget(max_hits);
  const std::uint32_t* row_of = db.groups ? db.groups->row_of.data() : nullptr;
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_tasks, [&](std::size_t first, std::size_t last) {
      BlockScratch scratch{kernel, n_words, {}, {}, {}, {}};
      try {
        for (std::size_t task = first; task < last && !budget.exhausted(); ++task) {
          const QueryPlan& plan = plans[task / lanes];
          const PositionRange piece = plan.rows.piece(task % lanes, lanes);
          piece_first[task] = piece.first;
          if (piece.size() == 0) continue;
          const QueryRow query = query_row(queries.words, task / lanes, n_words, kernel);
          const RowSet set = rows_of(db, plan.stored, piece);
          ThresholdRow<Metric> row(metric, pieces[task], threshold, budget);
          scan_group(&row, &query, 1, set, scratch, [](std::size_t) -> std::uint64_t { return 0; });
          row.finish();
        }
      } catch (const std::bad_alloc&) {
        budget.exhaust();
      }
    });
    // In the same job: handing the pool a second one costs a wake-up.
    if (budget.exhausted()) return;
    pool::parallel_for_rows(n_queries, [&](std::size_t first, std::size_t last) {
      for (std::size_t q = first; q < last && !pool::stop_requested(); ++q) {
        gather_hits(pieces.data() + q * lanes, piece_first.data() + q * lanes, lanes, plans[q].stored, row_of,
                    query_counts[q], rows[q]);
      }
    });
  }));
  if (budget.exhausted()) return results_too_large();
  return assemble_cross_rows(pool, metric, rows, db.counts.data(), 0);
}

}  // namespace

double read_share(const MetricChoice& metric, double threshold, const RowView& queries,
                  const PreparedRows& db, DbWindow window) {
  const kernel::KernelTable& kernel = kernel::kernel_for_width(queries.n_words);
  const double rows = with_metric(metric, [&](const auto& policy) {
    double total = 0.0;
    for (std::uint64_t q = 0; q < queries.n_rows; ++q) {
      const std::uint32_t count = query_row(queries.words, q, queries.n_words, kernel).count;
      total += static_cast<double>(plan_for(policy, threshold, count, db, window).rows.size());
    }
    return total;
  });
  return rows / (static_cast<double>(queries.n_rows) * static_cast<double>(window.n_rows));
}

Result<CsrOutput> range_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                  const PreparedRows& db, DbWindow window, std::int32_t n_threads) {
  if (!(threshold >= 0.0 && threshold <= 1.0) || queries.n_rows == 0 || window.n_rows == 0 ||
      window.first + window.n_rows > db.rows.n_rows || db.rows.n_words == 0 ||
      queries.n_words != db.rows.n_words) {
    return make_error(ErrorKind::internal_fault, "threshold range search called with inconsistent sets");
  }
  auto pool =
      pool::WorkerPool::for_call(n_threads, cross_pair_words(queries.n_rows, window.n_rows, queries.n_words));
  if (!pool) return pool_build_error(pool.error());
  auto output = with_metric(
      metric, [&](const auto& policy) { return search(*pool, policy, threshold, queries, db, window); });
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine::arena
