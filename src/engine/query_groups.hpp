#pragma once
// Runs a row loop on the pool in groups of query rows: each worker takes
// pieces of the rows and hands them on in groups of up to `group_size`,
// with scratch of its own for the block scan.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/function_ref.hpp"
#include "common/result.hpp"
#include "engine/block_scan.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"

namespace quarnel::engine {

// A database block read from memory serves this many query rows before the
// next one is loaded.  On the benchmark machine, 32 rather than 8 raised
// the 2048-bit mean by about a tenth and a top-10 search of a million rows
// by two fifths: the scan is bound by memory bandwidth.  Top-k groups may
// be smaller (their heaps must stay small).
inline constexpr std::size_t max_query_group = 32;

using GroupBody = FunctionRef<void(std::uint64_t first, std::size_t n, BlockScratch& scratch)>;

// Groups, not single rows, are what the pool shares out: each group
// streams the database once, and halving 40 rows into four pieces of 10
// for two threads would read the database four times where two reads of
// 20 rows do.  Groups are as large as `group_size` allows, and as many as a
// multiple of the thread count, so that every worker gets an equal share.
inline std::uint64_t balanced_group_size(std::uint64_t n_rows, std::size_t group_size, unsigned n_threads) {
  const std::uint64_t groups = (n_rows + group_size - 1) / group_size;
  const std::uint64_t shared = (groups + n_threads - 1) / n_threads * n_threads;
  return (n_rows + shared - 1) / shared;
}

// The interrupted error when the caller's stop check stopped the loop.
inline Result<Ok> for_each_query_group(pool::WorkerPool& pool, std::uint64_t n_rows, std::size_t group_size,
                                       std::uint64_t n_words, GroupBody body) {
  const kernel::KernelTable& kernel = kernel::kernel_for_width(n_words);
  const std::uint64_t size = balanced_group_size(n_rows, group_size, pool.thread_count());
  const std::uint64_t n_groups = (n_rows + size - 1) / size;
  return run_on_pool(pool, [&] {
    pool::parallel_for_rows(n_groups, [&](std::size_t first, std::size_t last) {
      BlockScratch scratch{kernel, n_words, {}, {}, {}, {}};
      for (std::uint64_t g = first; g < last; ++g) {
        if (pool::stop_requested()) return;
        const std::uint64_t row = g * size;
        body(row, static_cast<std::size_t>(std::min(size, n_rows - row)), scratch);
      }
    });
  });
}

inline QueryRow query_row(const std::uint64_t* words, std::uint64_t index, std::uint64_t n_words,
                          const kernel::KernelTable& kernel) {
  QueryRow query{index, words + index * n_words, 0, {}};
  if (kernel::has_segments(n_words)) {
    kernel.count_segments(query.words, 1, n_words, &query.count, query.segments.data());
  } else {
    kernel.count_rows(query.words, 1, n_words, &query.count);
  }
  return query;
}

// Starts one scorer per query row first .. first + n - 1 (make_scorer(q, s)
// for the row q in slot s, q.index its row number) and scans `db` with
// them; row i meets the database from first_column(i) on.
template <class Scorer, class MakeScorer, class FirstColumn>
void scan_query_group(const std::uint64_t* query_words, const RowSet& db, std::uint64_t first, std::size_t n,
                      BlockScratch& scratch, MakeScorer make_scorer, FirstColumn first_column,
                      std::vector<Scorer>& rows) {
  std::array<QueryRow, max_query_group> queries;
  rows.clear();
  for (std::size_t s = 0; s < n; ++s) {
    queries[s] = query_row(query_words, first + s, scratch.n_words, scratch.kernel);
    rows.push_back(make_scorer(queries[s], s));
  }
  scan_group(rows.data(), queries.data(), n, db, scratch,
             [&](std::size_t s) { return first_column(first + s); });
}

}  // namespace quarnel::engine
