#include "engine/arena/range_threshold.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "common/available_memory.hpp"
#include "engine/arena/lanes.hpp"
#include "engine/csr_assembly.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/query_groups.hpp"
#include "engine/score_bound.hpp"
#include "engine/threshold_row.hpp"

namespace quarnel::engine::arena {
namespace {

// Stored positions [first, end).
struct PositionRange {
  std::uint64_t first = 0;
  std::uint64_t end = 0;

  std::uint64_t size() const { return end - first; }

  // Piece s of n nearly equal pieces.
  PositionRange piece(std::uint64_t s, std::uint64_t n) const {
    return PositionRange{first + size() * s / n, first + size() * (s + 1) / n};
  }
};

// The rows whose count can reach the threshold for a query of `count` bits:
// one range, as the counts that can are one interval.  Scores are doubles,
// so one reaches the threshold exactly when it beats the double just below.
template <class Metric>
PositionRange candidates(const Metric& metric, double threshold, std::uint32_t count,
                         const PreparedRows& db) {
  const CountWindow window = CountWindow::beating(metric, count, std::nextafter(threshold, -1.0));
  if (window.empty() || window.lowest() > db.n_bits) return {};
  return PositionRange{db.groups->first_of(window.lowest()), db.groups->end_of(window.highest())};
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

// The hits of one query's pieces, renumbered to original rows and in
// increasing row order, as a search in row order lists them.
void gather_hits(RowHits* pieces, const std::uint64_t* piece_first, std::uint64_t n_pieces,
                 const std::uint32_t* row_of, std::uint32_t count, RowHits& out) {
  std::size_t total = 0;
  for (std::uint64_t s = 0; s < n_pieces; ++s) total += pieces[s].hits().size();
  std::vector<ThresholdHit> hits;
  hits.reserve(total);
  for (std::uint64_t s = 0; s < n_pieces; ++s) {
    const std::uint32_t* rows = row_of + piece_first[s];
    for (const ThresholdHit& hit : pieces[s].hits()) hits.push_back({rows[hit.column], hit.common});
    pieces[s] = RowHits();  // freed as soon as copied
  }
  std::sort(hits.begin(), hits.end(),
            [](const ThresholdHit& x, const ThresholdHit& y) { return x.column < y.column; });
  out.set_count(count);
  out.adopt(std::move(hits));
}

template <class Metric>
Result<CsrOutput> search(pool::WorkerPool& pool, const Metric& metric, double threshold,
                         const RowView& queries, const PreparedRows& db) {
  const std::uint64_t n_queries = queries.n_rows;
  const std::uint64_t n_words = db.rows.n_words;
  const CountGroups& groups = *db.groups;
  const std::uint64_t lanes = lanes_per_query(n_queries, pool.thread_count());
  const std::uint64_t n_tasks = n_queries * lanes;
  const std::uint64_t certain = threshold == 0.0 ? n_queries * db.rows.n_rows : 0;
  QUARNEL_TRY(max_hits, hit_allowance(n_queries, n_tasks, certain));
  std::vector<RowHits> pieces, rows;
  std::vector<std::uint64_t> piece_first;
  std::vector<std::uint32_t> query_counts;
  try {
    pieces.resize(n_tasks);
    piece_first.resize(n_tasks);
    rows.resize(n_queries);
    query_counts.resize(n_queries);
  } catch (const std::bad_alloc&) {
    return results_too_large();
  }
  HitBudget budget(max_hits);
  const kernel::KernelTable& kernel = kernel::kernel_for_width(n_words);
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_tasks, [&](std::size_t first, std::size_t last) {
      BlockScratch scratch{kernel, n_words, {}, {}, {}, {}};
      try {
        for (std::size_t task = first; task < last && !budget.exhausted(); ++task) {
          const std::uint64_t q = task / lanes;
          const QueryRow query = query_row(queries.words, q, n_words, kernel);
          if (task % lanes == 0) query_counts[q] = query.count;
          const PositionRange piece =
              candidates(metric, threshold, query.count, db).piece(task % lanes, lanes);
          piece_first[task] = piece.first;
          if (piece.size() == 0) continue;
          const std::uint8_t* segments = groups.segments.size() == 0
                                             ? nullptr
                                             : groups.segments.data() + piece.first * kernel::row_segments;
          const RowSet set{groups.words.data() + piece.first * n_words, groups.counts.data() + piece.first,
                           piece.size(), segments, nullptr};
          ThresholdRow<Metric> row(metric, pieces[task], threshold, budget);
          scan_group(&row, &query, 1, set, scratch, [](std::size_t) -> std::uint64_t { return 0; });
          row.finish();
        }
      } catch (const std::bad_alloc&) {
        budget.exhaust();
      }
    });
  }));
  if (budget.exhausted()) return results_too_large();
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_queries, [&](std::size_t first, std::size_t last) {
      for (std::size_t q = first; q < last && !pool::stop_requested(); ++q) {
        gather_hits(pieces.data() + q * lanes, piece_first.data() + q * lanes, lanes, groups.row_of.data(),
                    query_counts[q], rows[q]);
      }
    });
  }));
  return assemble_cross_rows(pool, metric, rows, db.counts.data(), 0);
}

}  // namespace

std::uint64_t candidate_rows(const MetricChoice& metric, double threshold, const RowView& queries,
                             const PreparedRows& db) {
  const kernel::KernelTable& kernel = kernel::kernel_for_width(queries.n_words);
  return with_metric(metric, [&](const auto& policy) {
    std::uint64_t total = 0;
    for (std::uint64_t q = 0; q < queries.n_rows; ++q) {
      total += candidates(policy, threshold, query_row(queries.words, q, queries.n_words, kernel).count, db)
                   .size();
    }
    return total;
  });
}

Result<CsrOutput> range_threshold(const MetricChoice& metric, double threshold, const RowView& queries,
                                  const PreparedRows& db, std::int32_t n_threads) {
  if (!(threshold >= 0.0 && threshold <= 1.0) || !db.groups || queries.n_rows == 0 || db.rows.n_rows == 0 ||
      db.rows.n_rows > UINT32_MAX || db.rows.n_words == 0 || queries.n_words != db.rows.n_words) {
    return make_error(ErrorKind::internal_fault, "threshold range search called with inconsistent sets");
  }
  auto pool = pool::WorkerPool::create(n_threads);
  if (!pool) return pool_build_error(pool.error());
  auto output =
      with_metric(metric, [&](const auto& policy) { return search(*pool, policy, threshold, queries, db); });
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine::arena
