#include "engine/cross_tanimoto.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "engine/aggregation_mode.hpp"
#include "engine/kernel/popcount.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/row_aggregate.hpp"
#include "engine/row_counts.hpp"
#include "engine/tanimoto_score.hpp"
#include "engine/topk_heap.hpp"

namespace quarnel::engine {
namespace {

struct CrossSets {
  const std::uint64_t* queries;
  std::uint64_t n_queries;
  const std::uint64_t* db;
  const std::uint32_t* db_counts;
  std::uint64_t n_db;
  std::uint64_t n_words;
};

// Scores query row i against database rows 0 .. n_db - 1, in that order.
template <class Consume>
void score_query_row(const CrossSets& sets, std::uint64_t i, Consume&& consume) {
  const std::uint64_t* query = sets.queries + i * sets.n_words;
  const std::uint32_t a = kernel::popcount_row(query, sets.n_words);
  for (std::uint64_t j = 0; j < sets.n_db; ++j) {
    const std::uint32_t c = kernel::and_popcount(query, sets.db + j * sets.n_words, sets.n_words);
    consume(j, tanimoto_score(a, sets.db_counts[j], c));
  }
}

void for_each_query_row(pool::WorkerPool& pool, std::uint64_t n_rows,
                        FunctionRef<void(std::uint64_t)> row_body) {
  pool.run([&] {
    pool::parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      for (std::size_t i = first; i < last; ++i) row_body(i);
    });
  });
}

Result<EngineOutput> full_matrix(pool::WorkerPool& pool, const CrossSets& sets) {
  // A product that wraps 64 bits is as impossible to allocate as any other.
  if (sets.n_db != 0 && sets.n_queries > UINT64_MAX / sets.n_db) {
    return out_of_memory(UINT64_MAX, sizeof(double));
  }
  auto scores = allocate_zeroed<double>(sets.n_queries * sets.n_db);
  if (!scores) return std::move(scores).error();
  double* out = scores->data();
  for_each_query_row(pool, sets.n_queries, [&](std::uint64_t i) {
    double* row = out + i * sets.n_db;
    score_query_row(sets, i, [row](std::uint64_t j, double score) { row[j] = score; });
  });
  return EngineOutput(matrix_buffer(std::move(scores).value(), sets.n_queries, sets.n_db));
}

Result<EngineOutput> row_aggregates(pool::WorkerPool& pool, const CrossSets& sets, AggregationMode mode) {
  auto values = allocate_zeroed<double>(sets.n_queries);
  if (!values) return std::move(values).error();
  double* out = values->data();
  for_each_query_row(pool, sets.n_queries, [&](std::uint64_t i) {
    RowAggregate aggregate;
    score_query_row(sets, i, [&aggregate](std::uint64_t, double score) { aggregate.add(score); });
    out[i] = aggregate.value(mode, sets.n_db);
  });
  return EngineOutput(vector_buffer(std::move(values).value(), sets.n_queries));
}

Result<EngineOutput> top_k(pool::WorkerPool& pool, const CrossSets& sets, std::uint64_t k,
                           std::uint64_t index_offset) {
  const std::uint64_t kept = std::min(k, sets.n_db);
  if (kept != 0 && sets.n_queries > UINT64_MAX / kept) return out_of_memory(UINT64_MAX, sizeof(double));
  auto indices = allocate_zeroed<std::uint32_t>(sets.n_queries * kept);
  if (!indices) return std::move(indices).error();
  auto scores = allocate_zeroed<double>(sets.n_queries * kept);
  if (!scores) return std::move(scores).error();

  if (kept != 0) {
    std::uint32_t* index_out = indices->data();
    double* score_out = scores->data();
    // A worker cannot raise; it records that its heap could not be had and
    // the call then fails as a whole instead of returning partial rows.
    std::atomic<bool> heap_unavailable{false};
    pool.run([&] {
      pool::parallel_for_rows(sets.n_queries, [&](std::size_t first, std::size_t last) {
        std::unique_ptr<TopKEntry[]> storage(new (std::nothrow) TopKEntry[kept]);
        if (!storage) {
          heap_unavailable.store(true, std::memory_order_relaxed);  // read after run() joins
          return;
        }
        for (std::size_t i = first; i < last; ++i) {
          TopKHeap heap(storage.get(), kept);
          score_query_row(sets, i, [&](std::uint64_t j, double score) {
            // Indices are 32-bit; a window's offset wraps like its rows do.
            heap.offer(score, static_cast<std::uint32_t>(j + index_offset));
          });
          heap.write_sorted(index_out + i * kept, score_out + i * kept);
        }
      });
    });
    if (heap_unavailable.load(std::memory_order_relaxed)) return out_of_memory(kept, sizeof(TopKEntry));
  }
  return EngineOutput(TopKOutput{matrix_buffer(std::move(indices).value(), sets.n_queries, kept),
                                 matrix_buffer(std::move(scores).value(), sets.n_queries, kept)});
}

Result<EngineOutput> compute(pool::WorkerPool& pool, std::uint64_t mode, std::uint64_t k, CrossSets sets,
                             std::uint64_t index_offset) {
  auto db_counts = count_row_bits(sets.db, sets.n_db, sets.n_words);
  if (!db_counts) return std::move(db_counts).error();
  sets.db_counts = db_counts->data();

  switch (static_cast<AggregationMode>(mode)) {
    case AggregationMode::full: return full_matrix(pool, sets);
    case AggregationMode::mean:
    case AggregationMode::max:
    case AggregationMode::min: return row_aggregates(pool, sets, static_cast<AggregationMode>(mode));
    case AggregationMode::topk: return top_k(pool, sets, k, index_offset);
  }
  return make_error(ErrorKind::internal_fault, "unknown cross-set mode " + std::to_string(mode));
}

}  // namespace

Result<EngineOutput> cross_tanimoto(std::uint64_t mode, std::uint64_t k, std::uint64_t n_words,
                                    std::uint64_t n_queries, std::uint64_t n_db, const std::uint64_t* queries,
                                    std::uint64_t queries_len, const std::uint64_t* db, std::uint64_t db_len,
                                    std::int32_t n_threads, std::uint64_t index_offset) {
  if (n_queries == 0 || n_db == 0 || queries_len != n_queries * n_words || db_len != n_db * n_words) {
    return make_error(ErrorKind::internal_fault, "cross-set engine called with inconsistent sets");
  }
  auto pool = pool::WorkerPool::create(n_threads);
  if (!pool) return pool_build_error(pool.error());
  auto output =
      compute(*pool, mode, k, CrossSets{queries, n_queries, db, nullptr, n_db, n_words}, index_offset);
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine
