#pragma once
// A buffer whose storage, once its owner is done with it, is kept for the
// next call that needs about as much.  The rows read from a list of
// fingerprint objects are copied into tens of megabytes of fresh memory on
// every call, and with fresh memory the kernel's zeroing of each page cost
// a third of the reading.  A caller that reads the same list again and
// again (one batch of queries after another) reuses the pages instead.
// Only one buffer is kept, the largest offered, and none over
// max_spare_bytes: too large to hold idle.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/result.hpp"

namespace quarnel {

inline constexpr std::size_t max_spare_bytes = std::size_t{256} << 20;

namespace spare {
// The kept storage if it holds at least `bytes` and at most twice as
// many (a small buffer should not take a large one), with its capacity;
// otherwise null.
void* take(std::size_t bytes, std::size_t& capacity);
// Keeps `storage` if it is the largest offered yet, freeing the smaller.
void offer(void* storage, std::size_t capacity);

// Result arrays keep a spare of their own, so that rows and results do
// not push each other out: a full matrix fills tens of megabytes of fresh
// pages, and the kernel's zeroing of them took a sixth of its time.  Only
// a result the engine writes whole may take it (its old contents stay).
void* take_result(std::size_t bytes);
// The release function of every result array: keeps its storage as the
// result spare when it is large enough to be worth keeping and no larger
// than max_spare_bytes (the one kept before is freed); frees it otherwise.
void offer_result(void* storage);
}  // namespace spare

// Its elements are not initialised: the owner writes every one.
template <class T>
class ReusableBuffer {
 public:
  ReusableBuffer() = default;
  ReusableBuffer(const ReusableBuffer&) = delete;
  ReusableBuffer& operator=(const ReusableBuffer&) = delete;
  ReusableBuffer(ReusableBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ReusableBuffer& operator=(ReusableBuffer&& other) noexcept {
    if (this != &other) {
      give_back();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~ReusableBuffer() { give_back(); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }

  static Result<ReusableBuffer> allocate(std::uint64_t count);

 private:
  void give_back() {
    if (data_ != nullptr) spare::offer(data_, capacity_);
    data_ = nullptr;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // bytes
};

Result<void*> allocate_reusable(std::uint64_t count, std::uint64_t element_size, std::size_t& capacity);

template <class T>
Result<ReusableBuffer<T>> ReusableBuffer<T>::allocate(std::uint64_t count) {
  ReusableBuffer buffer;
  if (count == 0) return buffer;
  QUARNEL_TRY(storage, allocate_reusable(count, sizeof(T), buffer.capacity_));
  buffer.data_ = static_cast<T*>(storage);
  buffer.size_ = static_cast<std::size_t>(count);
  return buffer;
}

}  // namespace quarnel
