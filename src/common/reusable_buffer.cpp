#include "common/reusable_buffer.hpp"

#include <malloc.h>

#include <cstdlib>
#include <mutex>

#include "common/owned_buffer.hpp"

namespace quarnel {
namespace {

// Calls may run at once on a free-threaded interpreter.
std::mutex spare_lock;
void* spare_storage = nullptr;
std::size_t spare_capacity = 0;

// Below this a result's pages are few and a kept one would only hold memory.
constexpr std::size_t least_result_bytes = std::size_t{4} << 20;

std::mutex result_lock;
void* result_storage = nullptr;
std::size_t result_capacity = 0;

}  // namespace

namespace spare {

void* take(std::size_t bytes, std::size_t& capacity) {
  const std::lock_guard<std::mutex> hold(spare_lock);
  if (spare_storage == nullptr || spare_capacity < bytes || spare_capacity / 2 > bytes) return nullptr;
  capacity = spare_capacity;
  spare_capacity = 0;
  return std::exchange(spare_storage, nullptr);
}

void offer(void* storage, std::size_t capacity) {
  void* unwanted = storage;
  if (capacity <= max_spare_bytes) {
    const std::lock_guard<std::mutex> hold(spare_lock);
    if (spare_storage == nullptr || spare_capacity < capacity) {
      unwanted = std::exchange(spare_storage, storage);
      spare_capacity = capacity;
    }
  }
  std::free(unwanted);  // outside the lock
}

void* take_result(std::size_t bytes) {
  const std::lock_guard<std::mutex> hold(result_lock);
  if (result_storage == nullptr || result_capacity < bytes || result_capacity / 2 > bytes) return nullptr;
  result_capacity = 0;
  return std::exchange(result_storage, nullptr);
}

void offer_result(void* storage) {
  if (storage == nullptr) return;
  void* unwanted = storage;
  // The capacity malloc gave, which is at least what was asked for.
  const std::size_t capacity = malloc_usable_size(storage);
  if (capacity >= least_result_bytes && capacity <= max_spare_bytes) {
    const std::lock_guard<std::mutex> hold(result_lock);
    unwanted = std::exchange(result_storage, storage);
    result_capacity = capacity;
  }
  std::free(unwanted);  // outside the lock; free(nullptr) does nothing
}

}  // namespace spare

Result<void*> allocate_reusable(std::uint64_t count, std::uint64_t element_size, std::size_t& capacity) {
  constexpr std::uint64_t max_bytes = static_cast<std::uint64_t>(PTRDIFF_MAX);
  if (count > max_bytes / element_size || count * element_size > memory_ceiling_bytes()) {
    return out_of_memory(count, element_size);
  }
  const std::size_t bytes = static_cast<std::size_t>(count * element_size);
  if (void* kept = spare::take(bytes, capacity)) return kept;
  void* storage = std::malloc(bytes);
  if (storage == nullptr) return out_of_memory(count, element_size);
  advise_huge_pages(storage, bytes);
  capacity = bytes;
  return storage;
}

}  // namespace quarnel
