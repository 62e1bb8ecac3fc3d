#pragma once

namespace quarnel::engine::kernel {

struct CpuFeatures {
  bool popcnt = false;
  bool avx2 = false;             // and the operating system saves the YMM registers
  bool avx512_popcount = false;  // AVX512F and VPOPCNTDQ, with ZMM state saved
};

CpuFeatures detect_cpu_features();

}  // namespace quarnel::engine::kernel
