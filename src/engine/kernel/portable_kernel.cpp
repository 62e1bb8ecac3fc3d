// The portable backend: plain C++, which without a POPCNT target compiles
// std::popcount to a bit-slicing count.  Runs on any x86-64 (or other) CPU.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/kernel/backends.hpp"

namespace quarnel::engine::kernel::portable {

inline std::uint32_t popcount_word(std::uint64_t word) {
  return static_cast<std::uint32_t>(std::popcount(word));
}

#include "engine/kernel/and_count_generic.inc"

}  // namespace quarnel::engine::kernel::portable

namespace quarnel::engine::kernel {

const KernelTable portable_kernel{"portable",
                                  &portable::count_rows,
                                  &portable::count_segments,
                                  &portable::pick_in_window,
                                  &portable::pick_reachable,
                                  &portable::and_count_rows,
                                  &portable::and_count_picked,
                                  &portable::tanimoto_scores,
                                  &portable::dice_scores,
                                  &portable::cosine_scores,
                                  &portable::tversky_scores};

}  // namespace quarnel::engine::kernel
