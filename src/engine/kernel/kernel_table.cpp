#include "engine/kernel/kernel_table.hpp"

#include <array>
#include <cstdlib>

#include "engine/kernel/backends.hpp"
#include "engine/kernel/cpu_features.hpp"
#include "engine/kernel/forced_kernel.hpp"

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

const KernelTable* forced() {
  static const KernelTable* const table =
      parse_forced_kernel(std::getenv("QUARNEL_KERNEL"), runnable_kernels());
  return table;
}

}  // namespace

std::span<const KernelTable* const> runnable_kernels() {
  return {runnable().tables.data(), runnable().count};
}

// The last runnable table is the widest.  bench/kernel_bench, AND counts
// from L1 in Mpairs/s:
//   AMD EPYC with AVX-512, 2048 bits: AVX-512 346, AVX2 169, POPCNT 107,
//   portable 17, in the same order at 167, 1024 and 4096 bits;
//   Intel Xeon with AVX-512 VPOPCNTDQ: 167 bits AVX-512 2381, POPCNT 1147,
//   AVX2 1096; 1024 bits 296, 208, 251; 2048 bits 209, 95, 137;
//   AMD Zen 3 (AVX2, no AVX-512), 167 bits: POPCNT 780, AVX2 642.
// AVX2 has vector loops only at 16, 32 and 64 words; at other widths it
// runs the POPCNT loop compiled for AVX2, which was never faster on either
// family, so where AVX2 is the widest those widths take POPCNT.
// A forced table takes the place of the widest, so that one family's
// choices can be timed on the other.
const KernelTable& kernel_for_width(std::uint64_t n_words) {
  const KernelTable* table = forced();
  const KernelTable& widest = table != nullptr ? *table : *runnable_kernels().back();
#if defined(__x86_64__)
  if (&widest == &avx2_kernel && !avx2_has_vector_loop(n_words)) return popcnt_kernel;
#endif
  return widest;
}

}  // namespace quarnel::engine::kernel
