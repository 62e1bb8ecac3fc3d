#pragma once
// Lays the rows a threshold search found end to end in the three result
// buffers, once their sizes are known, and makes each hit's score from its
// AND count.

#include <cstdint>
#include <vector>

#include "common/result.hpp"
#include "engine/engine_output.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/threshold_hits.hpp"

namespace quarnel::engine {

// Cross-set rows: row i lists the database rows it found, as found;
// `index_offset` is added to every index (modulo 2^32).
Result<CsrOutput> assemble_cross_rows(pool::WorkerPool& pool, const std::vector<RowHits>& rows,
                                      const std::uint32_t* db_counts, std::uint64_t index_offset);

// A set against itself, where row i found only its partners j > i: every
// pair is listed in both rows, each row in increasing order.
Result<CsrOutput> assemble_mirrored_rows(const std::vector<RowHits>& rows, const std::uint32_t* counts);

}  // namespace quarnel::engine
