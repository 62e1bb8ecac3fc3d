#include "common/reusable_buffer.hpp"

#include <malloc.h>

#include <cstdlib>
#include <mutex>

#include "common/owned_buffer.hpp"

namespace quarnel {
namespace {

// One kept buffer.  Calls may run at once on a free-threaded interpreter.
class SpareSlot {
 public:
  // The kept storage if it holds at least `bytes` and at most twice as
  // many (a small buffer should not take a large one), with its capacity;
  // otherwise null.
  void* take(std::size_t bytes, std::size_t& capacity) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (storage_ == nullptr || capacity_ < bytes || capacity_ / 2 > bytes) return nullptr;
    capacity = std::exchange(capacity_, 0);
    return std::exchange(storage_, nullptr);
  }

  // Keeps `storage` if `replaces` says it should take the kept one's place
  // (given the kept capacity, 0 for none); frees whichever is not kept.
  template <class Replaces>
  void offer(void* storage, std::size_t capacity, Replaces replaces) {
    void* unwanted = storage;
    if (capacity <= max_spare_bytes) {
      const std::lock_guard<std::mutex> hold(lock_);
      if (replaces(capacity_)) {
        unwanted = std::exchange(storage_, storage);
        capacity_ = capacity;
      }
    }
    std::free(unwanted);  // outside the lock; free(nullptr) does nothing
  }

 private:
  std::mutex lock_;
  void* storage_ = nullptr;
  std::size_t capacity_ = 0;
};

SpareSlot rows_slot;
SpareSlot results_slot;

// Below this a result's pages are few and a kept one would only hold memory.
constexpr std::size_t least_result_bytes = std::size_t{4} << 20;

}  // namespace

namespace spare {

void* take(std::size_t bytes, std::size_t& capacity) { return rows_slot.take(bytes, capacity); }

void offer(void* storage, std::size_t capacity) {
  // The largest offered.
  rows_slot.offer(storage, capacity, [&](std::size_t kept) { return kept < capacity; });
}

void* take_result(std::size_t bytes) {
  std::size_t capacity = 0;
  return results_slot.take(bytes, capacity);
}

void offer_result(void* storage) {
  if (storage == nullptr) return;
  // The capacity malloc gave, which is at least what was asked for.
  const std::size_t capacity = malloc_usable_size(storage);
  // The newest offered, large enough to be worth keeping.
  results_slot.offer(storage, capacity, [&](std::size_t) { return capacity >= least_result_bytes; });
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
