#include "common/owned_buffer.hpp"

#include <sys/mman.h>
#include <sys/sysinfo.h>

#include <limits>
#include <string>

#include "common/refreshed_reading.hpp"

namespace quarnel {
namespace {

#ifdef MADV_POPULATE_WRITE
constexpr int populate_write = MADV_POPULATE_WRITE;
#else
constexpr int populate_write = 23;  // older headers; the kernel decides
#endif

std::uint64_t read_memory_ceiling() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  return (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * unit;
}

}  // namespace

std::uint64_t memory_ceiling_bytes() {
  // Memory and swap change only when added or taken away.
  static RefreshedReading ceiling(&read_memory_ceiling, std::chrono::seconds(1));
  return ceiling.get();
}

Error out_of_memory(std::uint64_t count, std::uint64_t element_size) {
  return make_error(ErrorKind::memory_error, "cannot allocate " + std::to_string(count) + " elements of " +
                                                 std::to_string(element_size) + " bytes");
}

void advise_huge_pages(void* storage, std::size_t bytes, Prefault prefault) {
  constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
  if (bytes < 2 * huge_page) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(storage);
  const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = (begin + bytes) & ~(huge_page - 1);
  // Only hints: where huge pages are off or unavailable nothing changes.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  if (prefault == Prefault::now) populate_for_writing(storage, bytes);
}

void populate_for_writing(void* storage, std::size_t bytes) {
  constexpr std::uintptr_t page = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(storage);
  const std::uintptr_t from = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t to = (begin + bytes) & ~(page - 1);
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, populate_write);
}

}  // namespace quarnel
