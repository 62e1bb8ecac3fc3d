#include "engine/kernel/kernel_table.hpp"

#include <array>

#include "engine/kernel/backends.hpp"
#include "engine/kernel/cpu_features.hpp"

namespace quarnel::engine::kernel {
namespace {

struct Runnable {
  std::array<const KernelTable*, 4> tables{};
  std::size_t count = 0;
};

Runnable find_runnable() {
  Runnable runnable;
  runnable.tables[runnable.count++] = &portable_kernel;
#if defined(__x86_64__)
  const CpuFeatures features = detect_cpu_features();
  if (features.popcnt) runnable.tables[runnable.count++] = &popcnt_kernel;
  if (features.avx2 && features.popcnt) runnable.tables[runnable.count++] = &avx2_kernel;
  if (features.avx512_popcount && features.popcnt) runnable.tables[runnable.count++] = &avx512_kernel;
#endif
  return runnable;
}

const Runnable& runnable() {
  static const Runnable found = find_runnable();
  return found;
}

}  // namespace

std::span<const KernelTable* const> runnable_kernels() {
  return {runnable().tables.data(), runnable().count};
}

// The last runnable table is the fastest: measured per width on the
// benchmark machine, AVX2 beats POPCNT at the widths that are a multiple of
// four words and matches it elsewhere (it uses POPCNT there).
const KernelTable& active_kernel() { return *runnable_kernels().back(); }

}  // namespace quarnel::engine::kernel
