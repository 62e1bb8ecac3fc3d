#pragma once
// The backend tables, each defined in its own translation unit compiled for
// its instruction set.

#if defined(__SSE2__)
#include <emmintrin.h>  // and_count_generic.inc's segment bound
#endif

#include "engine/kernel/kernel_table.hpp"
#include "engine/kernel/row_segments.hpp"

namespace quarnel::engine::kernel {

extern const KernelTable portable_kernel;
#if defined(__x86_64__)
extern const KernelTable popcnt_kernel;
extern const KernelTable avx2_kernel;
extern const KernelTable avx512_kernel;

// Whether the AVX2 table counts rows of this width with vectors rather than
// with its POPCNT loop.
bool avx2_has_vector_loop(std::uint64_t n_words);
#endif

}  // namespace quarnel::engine::kernel
