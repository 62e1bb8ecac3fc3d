#pragma once
// A large result whose pages are mapped on the pool, a share per worker.
// The kernel zeroes every fresh page as it maps it: done in one call on the
// calling thread, that zeroing was work no second thread could share, and
// a full matrix gained least from one.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"

namespace quarnel::engine {

template <class T>
Result<OwnedBuffer<T>> allocate_result(pool::WorkerPool& pool, std::uint64_t count) {
  if (pool.thread_count() < 2) return allocate_zeroed<T>(count);
  QUARNEL_TRY(buffer, allocate_zeroed<T>(count, Prefault::by_writers));
  const std::size_t bytes = buffer.size() * sizeof(T);
  constexpr std::size_t piece = std::size_t{2} << 20;
  auto* base = reinterpret_cast<unsigned char*>(buffer.data());
  QUARNEL_CHECK(run_on_pool(pool, [&] {
    pool::parallel_for_rows((bytes + piece - 1) / piece, [&](std::size_t first, std::size_t last) {
      populate_for_writing(base + first * piece, std::min(last * piece, bytes) - first * piece);
    });
  }));
  return std::move(buffer);
}

}  // namespace quarnel::engine
