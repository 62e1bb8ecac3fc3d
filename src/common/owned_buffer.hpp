#pragma once
// A zero-filled, malloc-family buffer with exactly one owner.  The engine
// fills it and the binding hands it to a NumPy array, whose owner object
// frees it with std::free.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "common/result.hpp"

namespace quarnel {

// Whether a large buffer's pages are mapped as it is allocated, or left to
// whoever will write it (populate_for_writing, a share per worker).
enum class Prefault : bool { now, by_writers };

template <class T>
class OwnedBuffer;

template <class T>
Result<OwnedBuffer<T>> allocate_zeroed(std::uint64_t count, Prefault prefault = Prefault::now);

template <class T>
class OwnedBuffer {
 public:
  OwnedBuffer() = default;
  OwnedBuffer(const OwnedBuffer&) = delete;
  OwnedBuffer& operator=(const OwnedBuffer&) = delete;
  OwnedBuffer(OwnedBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~OwnedBuffer() { std::free(data_); }

  // Null for an empty buffer: nothing is allocated for zero elements.
  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Takes over malloc-family storage of at least `size` elements.
  static OwnedBuffer adopt(T* data, std::size_t size) { return OwnedBuffer(data, size); }

  // Gives up ownership; the caller frees the storage with std::free.
  T* release() {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

  template <class U>
  friend Result<OwnedBuffer<U>> allocate_zeroed(std::uint64_t count, Prefault prefault);

 private:
  OwnedBuffer(T* data, std::size_t size) : data_(data), size_(size) {}
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

// The bytes that memory can ever supply to this process: physical memory
// plus swap.  A request beyond it is refused up front, because with
// overcommit the allocation itself could succeed and the process would be
// killed only once the pages are written.  Read at most once a second.
std::uint64_t memory_ceiling_bytes();

Error out_of_memory(std::uint64_t count, std::uint64_t element_size);

// Asks for huge pages under a large buffer: the engine writes results into
// fresh pages, and with 4 KiB pages the faults, not the scoring, would take
// most of the time of a large matrix on some virtual machines.
void advise_huge_pages(void* storage, std::size_t bytes, Prefault prefault = Prefault::now);

// Maps the whole pages of [storage, storage + bytes) for writing in one
// call rather than a fault per page (Linux 5.14 and later; a hint only).
void populate_for_writing(void* storage, std::size_t bytes);

template <class T>
Result<OwnedBuffer<T>> allocate_zeroed(std::uint64_t count, Prefault prefault) {
  if (count == 0) return OwnedBuffer<T>();
  constexpr std::uint64_t max_count = static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(T);
  if (count > max_count || count * sizeof(T) > memory_ceiling_bytes()) {
    return out_of_memory(count, sizeof(T));
  }
  void* storage = std::calloc(static_cast<std::size_t>(count), sizeof(T));
  if (storage == nullptr) return out_of_memory(count, sizeof(T));
  advise_huge_pages(storage, static_cast<std::size_t>(count) * sizeof(T), prefault);
  return OwnedBuffer<T>(static_cast<T*>(storage), static_cast<std::size_t>(count));
}

}  // namespace quarnel
