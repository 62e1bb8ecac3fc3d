#include "common/owned_buffer.hpp"

#include <sys/sysinfo.h>

#include <limits>
#include <string>

namespace quarnel {

std::uint64_t memory_ceiling_bytes() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  return (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * unit;
}

Error out_of_memory(std::uint64_t count, std::uint64_t element_size) {
  return make_error(ErrorKind::memory_error, "cannot allocate " + std::to_string(count) + " elements of " +
                                                 std::to_string(element_size) + " bytes");
}

}  // namespace quarnel
