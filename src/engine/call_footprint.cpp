#include "engine/call_footprint.hpp"

#include <algorithm>
#include <string>

#include "common/owned_buffer.hpp"
#include "common/saturating.hpp"
#include "engine/aggregation_mode.hpp"
#include "engine/kernel/row_segments.hpp"
#include "engine/topk_heap.hpp"

namespace quarnel::engine {
namespace {

constexpr auto times = saturating_times;
constexpr auto plus = saturating_plus;

// A zero-width set scores 0.0 everywhere and needs no count table.
std::uint64_t count_table_bytes(std::uint64_t n_words, std::uint64_t n_rows) {
  return n_words == 0 ? 0 : times(n_rows, sizeof(std::uint32_t));
}

// The segment counts that the searches pruning by a running best make.
std::uint64_t segment_table_bytes(std::uint64_t n_words, std::uint64_t n_rows) {
  return kernel::has_segments(n_words) ? times(n_rows, kernel::row_segments) : 0;
}

// A worker's heaps: a group of queries shares about a mebibyte of them, and
// a single query's heap may be larger.
constexpr std::uint64_t heap_group_bytes = std::uint64_t{1} << 20;

}  // namespace

std::uint64_t cross_call_bytes(std::uint64_t mode, std::uint64_t k, std::uint64_t n_words,
                               std::uint64_t n_queries, std::uint64_t n_db, std::uint64_t n_workers) {
  std::uint64_t result = 0;
  std::uint64_t heaps = 0;
  std::uint64_t segments = 0;
  switch (static_cast<AggregationMode>(mode)) {
    case AggregationMode::full: result = times(times(n_queries, n_db), sizeof(double)); break;
    case AggregationMode::topk: {
      const std::uint64_t kept = std::min(k, n_db);
      if (kept == 0) return 0;
      result = times(times(n_queries, kept), sizeof(std::uint32_t) + sizeof(double));
      const std::uint64_t per_worker = std::max(heap_group_bytes, times(kept, sizeof(TopKEntry)));
      heaps = times(std::min(n_workers, n_queries), per_worker);
      segments = segment_table_bytes(n_words, n_db);
      break;
    }
    case AggregationMode::max: segments = segment_table_bytes(n_words, n_db); [[fallthrough]];
    case AggregationMode::mean:
    case AggregationMode::min: result = times(n_queries, sizeof(double)); break;
    default: return 0;  // refused by the driver
  }
  return plus(plus(plus(result, heaps), count_table_bytes(n_words, n_db)), segments);
}

std::uint64_t internal_call_bytes(std::uint64_t mode, std::uint64_t n_words, std::uint64_t n_rows) {
  if (mode > static_cast<std::uint64_t>(AggregationMode::full)) return 0;  // refused by the driver
  const bool condensed = static_cast<AggregationMode>(mode) == AggregationMode::full;
  const std::uint64_t scores = condensed ? times(n_rows, n_rows == 0 ? 0 : n_rows - 1) / 2 : n_rows;
  // max also makes segment counts and may copy the rows in count order:
  // the rows, their counts, segments and order, and the best score each
  // has met.
  std::uint64_t order = 0;
  if (static_cast<AggregationMode>(mode) == AggregationMode::max) {
    const std::uint64_t per_row =
        plus(times(n_words, sizeof(std::uint64_t)), 2 * sizeof(std::uint32_t) + sizeof(double));
    order = plus(times(n_rows, per_row), times(segment_table_bytes(n_words, n_rows), 2));
  }
  return plus(plus(times(scores, sizeof(double)), count_table_bytes(n_words, n_rows)), order);
}

Result<Ok> refuse_unfit_call(std::uint64_t bytes) {
  if (bytes <= memory_ceiling_bytes()) return Ok{};
  const std::string amount = bytes == UINT64_MAX ? "more than 2^64" : std::to_string(bytes);
  return make_error(ErrorKind::memory_error, "cannot allocate " + amount +
                                                 " bytes for this result: more memory than this machine has");
}

}  // namespace quarnel::engine
