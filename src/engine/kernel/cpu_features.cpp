#include "engine/kernel/cpu_features.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace quarnel::engine::kernel {

#if defined(__x86_64__)

namespace {

// The XCR0 register: which register files the operating system saves on a
// context switch.  Read only after CPUID says OSXSAVE is on.
unsigned long long read_xcr0() {
  unsigned eax = 0;
  unsigned edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<unsigned long long>(edx) << 32) | eax;
}

}  // namespace

CpuFeatures detect_cpu_features() {
  CpuFeatures features;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return features;
  features.popcnt = (ecx & bit_POPCNT) != 0;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool avx = (ecx & bit_AVX) != 0;
  // An AVX2 CPU under an OS that does not save YMM state would fault.
  const bool ymm_saved = osxsave && (read_xcr0() & 0x6) == 0x6;
  // ZMM registers also need the opmask and upper-ZMM state saved.
  const bool zmm_saved = ymm_saved && (read_xcr0() & 0xe6) == 0xe6;
  if (avx && ymm_saved && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
    features.avx2 = (ebx & bit_AVX2) != 0;
    features.avx512_popcount = zmm_saved && (ebx & bit_AVX512F) != 0 && (ecx & bit_AVX512VPOPCNTDQ) != 0;
  }
  return features;
}

#else

CpuFeatures detect_cpu_features() { return {}; }

#endif

}  // namespace quarnel::engine::kernel
