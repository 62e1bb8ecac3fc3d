#include "common/available_memory.hpp"

#include <cstdio>
#include <cstring>

#include "common/owned_buffer.hpp"
#include "common/refreshed_reading.hpp"

namespace quarnel {

namespace {

std::uint64_t read_available_memory() {
  std::FILE* meminfo = std::fopen("/proc/meminfo", "re");
  if (meminfo == nullptr) return memory_ceiling_bytes();
  std::uint64_t available_kib = 0;
  std::uint64_t swap_free_kib = 0;
  bool found = false;
  char line[256];
  while (std::fgets(line, sizeof line, meminfo) != nullptr) {
    unsigned long long kib = 0;
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
      available_kib = kib;
      found = true;
    } else if (std::sscanf(line, "SwapFree: %llu kB", &kib) == 1) {
      swap_free_kib = kib;
    }
  }
  std::fclose(meminfo);
  if (!found) return memory_ceiling_bytes();
  return (available_kib + swap_free_kib) * 1024;
}

}  // namespace

std::uint64_t available_memory_bytes() {
  // Reading /proc/meminfo took longer than a small search.  The figure is
  // the kernel's estimate, and one up to a second old serves as well.
  static RefreshedReading available(&read_available_memory, std::chrono::seconds(1));
  return available.get();
}

}  // namespace quarnel
