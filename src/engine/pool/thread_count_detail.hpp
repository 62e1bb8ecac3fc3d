#pragma once
// The steps of default_thread_count(), apart so tests can check each one.

#include <cstdint>
#include <optional>

#include "common/function_ref.hpp"

namespace quarnel::engine::pool::detail {

// An environment value read as an unsigned decimal: an optional '+', then
// one or more digits and nothing else, fitting in 64 bits.  Empty for null
// (unset) and for anything else.
std::optional<std::uint64_t> parse_thread_env(const char* text);

// The count the two variables ask for: RAYON_NUM_THREADS when it is a
// number of 1 or more; when it is 0, the processors; when it is no number,
// RAYON_RS_NUM_CPUS when that is a number of 1 or more.  Empty means "the
// processors available".
std::optional<std::uint64_t> thread_count_from_env(const char* rayon_num_threads,
                                                   const char* rayon_rs_num_cpus);

// The processors available: the affinity count, else the online count,
// limited by the cgroup quota; 1 when neither count is known (or is 0).
std::uint64_t available_processors(std::optional<std::uint64_t> affinity_cpus,
                                   std::optional<std::uint64_t> online_cpus,
                                   std::optional<std::uint64_t> cpu_quota);

// The default from the environment values, asking `processors` only when
// they do not decide; capped at max_thread_count and at least 1.
unsigned resolve_default_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                      FunctionRef<std::uint64_t()> processors);

}  // namespace quarnel::engine::pool::detail
