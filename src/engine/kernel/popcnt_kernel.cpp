// The POPCNT backend: the same loops with the processor's population-count
// instruction, one 64-bit word at a time.
#if defined(__x86_64__)

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/kernel/backends.hpp"

#pragma GCC push_options
#pragma GCC target("popcnt")

namespace quarnel::engine::kernel::popcnt {

inline std::uint32_t popcount_word(std::uint64_t word) {
  return static_cast<std::uint32_t>(__builtin_popcountll(word));
}

#include "engine/kernel/and_count_generic.inc"

}  // namespace quarnel::engine::kernel::popcnt

#pragma GCC pop_options

namespace quarnel::engine::kernel {

const KernelTable popcnt_kernel{"popcnt",
                                &popcnt::count_rows,
                                &popcnt::count_segments,
                                &popcnt::pick_in_window,
                                &popcnt::pick_reachable,
                                &popcnt::and_count_rows,
                                &popcnt::and_count_picked,
                                &popcnt::tanimoto_scores,
                                &popcnt::dice_scores,
                                &popcnt::cosine_scores,
                                &popcnt::tversky_scores};

}  // namespace quarnel::engine::kernel

#endif
