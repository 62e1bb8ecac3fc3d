#pragma once
// Lays the rows a threshold search found end to end in the three result
// buffers, once their sizes are known, and makes each hit's score from its
// AND count with the search's metric.

#include <cstdint>
#include <vector>

#include "common/result.hpp"
#include "engine/engine_output.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/threshold_hits.hpp"

namespace quarnel::engine {

struct CsrBuffers {
  OwnedBuffer<std::int64_t> indptr;
  OwnedBuffer<std::uint32_t> indices;
  OwnedBuffer<double> scores;

  CsrOutput output(std::uint64_t n_rows) &&;
};

// indptr from the row lengths (row_lengths[i] for row i); then room for
// all entries.
Result<CsrBuffers> allocate_csr(const std::uint64_t* row_lengths, std::uint64_t n_rows);

// Cross-set rows: row i lists the database rows it found, as found;
// `index_offset` is added to every index (modulo 2^32).
template <class Metric>
Result<CsrOutput> assemble_cross_rows(pool::WorkerPool& pool, const Metric& metric,
                                      const std::vector<RowHits>& rows, const std::uint32_t* db_counts,
                                      std::uint64_t index_offset) {
  const std::uint64_t n_rows = rows.size();
  QUARNEL_TRY(lengths, allocate_zeroed<std::uint64_t>(n_rows));
  for (std::uint64_t i = 0; i < n_rows; ++i) lengths.data()[i] = rows[i].hits().size();
  QUARNEL_TRY(csr, allocate_csr(lengths.data(), n_rows));
  const std::int64_t* indptr = csr.indptr.data();
  std::uint32_t* indices = csr.indices.data();
  double* scores = csr.scores.data();
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      for (std::size_t i = first; i < last && !pool::stop_requested(); ++i) {
        auto at = static_cast<std::uint64_t>(indptr[i]);
        for (const ThresholdHit& hit : rows[i].hits()) {
          indices[at] = static_cast<std::uint32_t>(hit.column + index_offset);
          scores[at] = metric.score(rows[i].count(), db_counts[hit.column], hit.common);
          ++at;
        }
      }
    });
  }));
  return std::move(csr).output(n_rows);
}

// A set against itself, where row i found only its partners j > i (those
// whose score reaches `threshold` one way or the other): each pair is
// listed under row i when row i as the query reaches it, and under row j
// when row j as the query does; every row in increasing order.
template <class Metric>
Result<CsrOutput> assemble_mirrored_rows(const Metric& metric, const std::vector<RowHits>& rows,
                                         const std::uint32_t* counts, double threshold) {
  const std::uint64_t n_rows = rows.size();
  auto keeps = [&](std::uint64_t query, std::uint64_t target, std::uint32_t common) {
    if constexpr (Metric::symmetric) return true;  // the search kept only such pairs
    return metric.score(counts[query], counts[target], common) >= threshold;
  };
  // next[r]: where row r's next entry goes.  It first counts row r's
  // entries: its own hits, and those of rows below r that list it.
  QUARNEL_TRY(next, allocate_zeroed<std::uint64_t>(n_rows));
  std::uint64_t* cursor = next.data();
  for (std::uint64_t i = 0; i < n_rows; ++i) {
    for (const ThresholdHit& hit : rows[i].hits()) {
      cursor[i] += keeps(i, hit.column, hit.common);
      cursor[hit.column] += keeps(hit.column, i, hit.common);
    }
  }
  QUARNEL_TRY(csr, allocate_csr(cursor, n_rows));
  for (std::uint64_t r = 0; r < n_rows; ++r) cursor[r] = static_cast<std::uint64_t>(csr.indptr.data()[r]);
  std::uint32_t* indices = csr.indices.data();
  double* scores = csr.scores.data();
  // In increasing i: when row i is reached, all its partners below it have
  // been written, so its own (larger) partners follow them and every row
  // comes out in increasing order.  One pass on one thread keeps that order
  // without any coordination; it costs little beside the search.
  for (std::uint64_t i = 0; i < n_rows; ++i) {
    for (const ThresholdHit& hit : rows[i].hits()) {
      const std::uint64_t j = hit.column;
      if (keeps(i, j, hit.common)) {
        indices[cursor[i]] = static_cast<std::uint32_t>(j);
        scores[cursor[i]++] = metric.score(counts[i], counts[j], hit.common);
      }
      if (keeps(j, i, hit.common)) {
        indices[cursor[j]] = static_cast<std::uint32_t>(i);
        scores[cursor[j]++] = metric.score(counts[j], counts[i], hit.common);
      }
    }
  }
  return std::move(csr).output(n_rows);
}

}  // namespace quarnel::engine
