#include "engine/csr_assembly.hpp"

#include "engine/pool_error.hpp"
#include "engine/tanimoto_score.hpp"

namespace quarnel::engine {
namespace {

struct CsrBuffers {
  OwnedBuffer<std::int64_t> indptr;
  OwnedBuffer<std::uint32_t> indices;
  OwnedBuffer<double> scores;

  CsrOutput output(std::uint64_t n_rows) && {
    const std::uint64_t n_entries = indices.size();
    return CsrOutput{vector_buffer(std::move(indptr), n_rows + 1),
                     vector_buffer(std::move(indices), n_entries),
                     vector_buffer(std::move(scores), n_entries)};
  }
};

// indptr from the row lengths; then room for all entries.
template <class RowLength>
Result<CsrBuffers> allocate_csr(std::uint64_t n_rows, RowLength row_length) {
  QUARNEL_TRY(indptr, allocate_zeroed<std::int64_t>(n_rows + 1));
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < n_rows; ++i) {
    total += row_length(i);
    indptr.data()[i + 1] = static_cast<std::int64_t>(total);
  }
  QUARNEL_TRY(indices, allocate_zeroed<std::uint32_t>(total));
  QUARNEL_TRY(scores, allocate_zeroed<double>(total));
  return CsrBuffers{std::move(indptr), std::move(indices), std::move(scores)};
}

}  // namespace

Result<CsrOutput> assemble_cross_rows(pool::WorkerPool& pool, const std::vector<RowHits>& rows,
                                      const std::uint32_t* db_counts, std::uint64_t index_offset) {
  const std::uint64_t n_rows = rows.size();
  QUARNEL_TRY(csr, allocate_csr(n_rows, [&](std::uint64_t i) { return rows[i].hits().size(); }));
  const std::int64_t* indptr = csr.indptr.data();
  std::uint32_t* indices = csr.indices.data();
  double* scores = csr.scores.data();
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      for (std::size_t i = first; i < last && !pool::stop_requested(); ++i) {
        auto at = static_cast<std::uint64_t>(indptr[i]);
        for (const ThresholdHit& hit : rows[i].hits()) {
          indices[at] = static_cast<std::uint32_t>(hit.column + index_offset);
          scores[at] = tanimoto_score(rows[i].count(), db_counts[hit.column], hit.common);
          ++at;
        }
      }
    });
  }));
  return std::move(csr).output(n_rows);
}

Result<CsrOutput> assemble_mirrored_rows(const std::vector<RowHits>& rows, const std::uint32_t* counts) {
  const std::uint64_t n_rows = rows.size();
  // next[r]: where row r's next entry goes.  It first counts the partners
  // below r, which row r did not see itself.
  QUARNEL_TRY(next, allocate_zeroed<std::uint64_t>(n_rows));
  std::uint64_t* cursor = next.data();
  for (const RowHits& row : rows) {
    for (const ThresholdHit& hit : row.hits()) ++cursor[hit.column];
  }
  QUARNEL_TRY(csr, allocate_csr(n_rows, [&](std::uint64_t i) { return cursor[i] + rows[i].hits().size(); }));
  for (std::uint64_t r = 0; r < n_rows; ++r) cursor[r] = static_cast<std::uint64_t>(csr.indptr.data()[r]);
  std::uint32_t* indices = csr.indices.data();
  double* scores = csr.scores.data();
  // In increasing i: when row i is reached, all its partners below it have
  // been written, so its own (larger) partners follow them and every row
  // comes out in increasing order.  One pass on one thread keeps that order
  // without any coordination; it costs little beside the search.
  for (std::uint64_t i = 0; i < n_rows; ++i) {
    for (const ThresholdHit& hit : rows[i].hits()) {
      const double score = tanimoto_score(counts[i], counts[hit.column], hit.common);
      indices[cursor[i]] = hit.column;
      scores[cursor[i]++] = score;
      indices[cursor[hit.column]] = static_cast<std::uint32_t>(i);
      scores[cursor[hit.column]++] = score;
    }
  }
  return std::move(csr).output(n_rows);
}

}  // namespace quarnel::engine
