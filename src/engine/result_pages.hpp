#pragma once
// Storage for a result the engine writes whole (a full matrix): the result
// spare where one of about its size is kept, its pages already mapped;
// otherwise fresh pages mapped on the pool, a share per worker.  The kernel
// zeroes every fresh page as it maps it: done in one call on the calling
// thread, that zeroing was work no second thread could share, and a full
// matrix gained least from one.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "common/reusable_buffer.hpp"
#include "engine/pool/worker_pool.hpp"
#include "engine/pool_error.hpp"

namespace quarnel::engine {

template <class T>
Result<OwnedBuffer<T>> allocate_result(pool::WorkerPool& pool, std::uint64_t count) {
  if (count != 0 && count <= max_spare_bytes / sizeof(T)) {
    if (void* kept = spare::take_result(static_cast<std::size_t>(count) * sizeof(T))) {
      return OwnedBuffer<T>::adopt(static_cast<T*>(kept), static_cast<std::size_t>(count));
    }
  }
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
