#include "engine/internal_tanimoto.hpp"

#include "engine/aggregation_mode.hpp"
#include "engine/kernel/popcount.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"
#include "engine/row_aggregate.hpp"
#include "engine/row_counts.hpp"
#include "engine/tanimoto_score.hpp"

namespace quarnel::engine {
namespace {

struct InternalSet {
  const std::uint64_t* words;
  const std::uint32_t* counts;
  std::uint64_t n_fps;
  std::uint64_t n_words;

  double score(std::uint64_t i, std::uint64_t j) const {
    const std::uint32_t c = kernel::and_popcount(words + i * n_words, words + j * n_words, n_words);
    return tanimoto_score(counts[i], counts[j], c);
  }
};

void for_each_row(pool::WorkerPool& pool, std::uint64_t n_rows, FunctionRef<void(std::uint64_t)> row_body) {
  pool.run([&] {
    pool::parallel_for_rows(n_rows, [&](std::size_t first, std::size_t last) {
      for (std::size_t i = first; i < last; ++i) row_body(i);
    });
  });
}

// Pair (i, j), i < j, sits at i*N - i*(i+1)/2 + (j - i - 1): the upper
// triangle row by row, without the diagonal.
std::uint64_t condensed_row_start(std::uint64_t i, std::uint64_t n) { return i * n - i * (i + 1) / 2; }

Result<EngineOutput> condensed_pairs(pool::WorkerPool& pool, const InternalSet& set) {
  const std::uint64_t n = set.n_fps;
  // n < 2^32, so n * (n - 1) fits 64 bits.
  auto scores = allocate_zeroed<double>(n * (n - 1) / 2);
  if (!scores) return std::move(scores).error();
  double* out = scores->data();
  for_each_row(pool, n, [&](std::uint64_t i) {
    double* row = out + condensed_row_start(i, n);
    for (std::uint64_t j = i + 1; j < n; ++j) row[j - i - 1] = set.score(i, j);
  });
  const std::uint64_t length = scores->size();
  return EngineOutput(vector_buffer(std::move(scores).value(), length));
}

Result<EngineOutput> row_aggregates(pool::WorkerPool& pool, const InternalSet& set, AggregationMode mode) {
  const std::uint64_t n = set.n_fps;
  auto values = allocate_zeroed<double>(n);
  if (!values) return std::move(values).error();
  double* out = values->data();
  if (n >= 2) {
    for_each_row(pool, n, [&](std::uint64_t i) {
      RowAggregate aggregate;
      for (std::uint64_t j = 0; j < n; ++j) {
        if (j != i) aggregate.add(set.score(i, j));
      }
      out[i] = aggregate.value(mode, n - 1);
    });
  }
  return EngineOutput(vector_buffer(std::move(values).value(), n));
}

Result<EngineOutput> compute(pool::WorkerPool& pool, std::uint64_t mode, InternalSet set) {
  auto counts = count_row_bits(set.words, set.n_fps, set.n_words);
  if (!counts) return std::move(counts).error();
  set.counts = counts->data();

  switch (static_cast<AggregationMode>(mode)) {
    case AggregationMode::full: return condensed_pairs(pool, set);
    case AggregationMode::mean:
    case AggregationMode::max:
    case AggregationMode::min: return row_aggregates(pool, set, static_cast<AggregationMode>(mode));
    default: break;
  }
  return make_error(ErrorKind::value_error, "Top-K is not supported for internal similarity matrices.");
}

}  // namespace

Result<EngineOutput> internal_tanimoto(std::uint64_t mode, std::uint64_t n_words, std::uint64_t n_fps,
                                       const std::uint64_t* words, std::uint64_t words_len,
                                       std::int32_t n_threads) {
  if (n_fps == 0 || n_fps > UINT32_MAX || words_len != n_fps * n_words) {
    return make_error(ErrorKind::internal_fault, "internal engine called with an inconsistent set");
  }
  auto pool = pool::WorkerPool::create(n_threads);
  if (!pool) return pool_build_error(pool.error());
  auto output = compute(*pool, mode, InternalSet{words, nullptr, n_fps, n_words});
  pool->shutdown();
  return output;
}

}  // namespace quarnel::engine
