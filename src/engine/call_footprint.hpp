#pragma once
// The memory an engine call will hold at its peak, reckoned from the set
// sizes alone, before anything is allocated or any row is read.  A header
// can announce 2^32 - 1 rows in 8 bytes; without this reckoning such a call
// would count billions of rows, or fault in gigabytes of result pages,
// before the last buffer failed to allocate.

#include <cstdint>

#include "common/result.hpp"

namespace quarnel::engine {

// Result buffers, the database's count table and the top-k heaps of
// `n_workers` workers; UINT64_MAX when the sum does not fit 64 bits.
std::uint64_t cross_call_bytes(std::uint64_t mode, std::uint64_t k, std::uint64_t n_words,
                               std::uint64_t n_queries, std::uint64_t n_db, std::uint64_t n_workers);

// The result buffer and the count table of a set against itself.
std::uint64_t internal_call_bytes(std::uint64_t mode, std::uint64_t n_words, std::uint64_t n_rows);

// A MemoryError when `bytes` exceed what memory can ever supply.
Result<Ok> refuse_unfit_call(std::uint64_t bytes);

}  // namespace quarnel::engine
