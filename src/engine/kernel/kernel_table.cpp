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

// The last runnable table is the fastest.  bench/kernel_bench on the
// benchmark machine (AMD EPYC), 2048 bits from cache, in Mpairs/s: AVX-512
// 346, AVX2 169, POPCNT 107, portable 17; the order is the same at 167,
// 1024 and 4096 bits, except that at 167 bits AVX2 only matches POPCNT
// (three words use POPCNT there).  The scans keep their block in cache, so
// the cached figures are the ones that count.
const KernelTable& active_kernel() { return *runnable_kernels().back(); }

}  // namespace quarnel::engine::kernel
