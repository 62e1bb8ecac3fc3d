#include "engine/kernel/forced_kernel.hpp"

#include <cstdio>
#include <cstring>

namespace quarnel::engine::kernel {
namespace {

constexpr const char* known_names[] = {"portable", "popcnt", "avx2", "avx512"};

bool is_known(const char* value) {
  for (const char* name : known_names) {
    if (std::strcmp(value, name) == 0) return true;
  }
  return false;
}

}  // namespace

const KernelTable* parse_forced_kernel(const char* value, std::span<const KernelTable* const> runnable) {
  if (value == nullptr || *value == '\0') return nullptr;
  for (const KernelTable* table : runnable) {
    if (std::strcmp(value, table->name) == 0) return table;
  }
  // Engine code never raises into Python; a benchmark reads its stderr.
  if (is_known(value)) {
    std::fprintf(stderr,
                 "quarnel: QUARNEL_KERNEL=%s needs instructions this CPU or its operating system "
                 "lacks; choosing by CPU\n",
                 value);
  } else {
    std::fprintf(stderr,
                 "quarnel: QUARNEL_KERNEL=%s is not one of portable, popcnt, avx2, avx512; "
                 "choosing by CPU\n",
                 value);
  }
  return nullptr;
}

}  // namespace quarnel::engine::kernel
