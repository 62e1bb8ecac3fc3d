#include "common/available_memory.hpp"

#include <cstdio>
#include <cstring>

#include "common/owned_buffer.hpp"

namespace quarnel {

std::uint64_t available_memory_bytes() {
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

}  // namespace quarnel
