#include "engine/pool/thread_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "engine/pool/cgroup_quota.hpp"
#include "engine/pool/thread_count_detail.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine::pool {

namespace detail {

std::optional<std::uint64_t> parse_thread_env(const char* text) {
  if (text == nullptr) return std::nullopt;
  if (*text == '+') ++text;
  if (*text == '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::uint64_t> thread_count_from_env(const char* rayon_num_threads,
                                                   const char* rayon_rs_num_cpus) {
  if (const std::optional<std::uint64_t> n = parse_thread_env(rayon_num_threads)) {
    if (*n == 0) return std::nullopt;  // explicitly "one per processor"
    return n;
  }
  if (const std::optional<std::uint64_t> n = parse_thread_env(rayon_rs_num_cpus)) {
    if (*n >= 1) return n;
  }
  return std::nullopt;
}

std::uint64_t available_processors(std::optional<std::uint64_t> affinity_cpus,
                                   std::optional<std::uint64_t> online_cpus,
                                   std::optional<std::uint64_t> cpu_quota) {
  std::uint64_t count = 0;
  if (affinity_cpus && *affinity_cpus > 0) {
    count = *affinity_cpus;
  } else if (online_cpus && *online_cpus > 0) {
    count = *online_cpus;
  } else {
    return 1;
  }
  if (cpu_quota) count = std::min(count, std::max<std::uint64_t>(*cpu_quota, 1));
  return count;
}

unsigned resolve_default_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                      FunctionRef<std::uint64_t()> processors) {
  std::uint64_t count = 0;
  if (const std::optional<std::uint64_t> n = thread_count_from_env(rayon_num_threads, rayon_rs_num_cpus)) {
    count = *n;
  } else {
    count = processors();
  }
  return static_cast<unsigned>(std::clamp<std::uint64_t>(count, 1, max_thread_count));
}

}  // namespace detail

namespace {

std::uint64_t processors_of_this_process() {
  std::optional<std::uint64_t> affinity;
  cpu_set_t mask;  // 1,024 CPUs; larger machines fall back to the online count
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
    affinity = static_cast<std::uint64_t>(CPU_COUNT(&mask));
  }
  std::optional<std::uint64_t> online;
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n > 0) online = static_cast<std::uint64_t>(n);
  return detail::available_processors(affinity, online, detail::cgroup_cpu_quota(""));
}

unsigned compute_default_thread_count() {
  // getenv under the once-only initialisation below: read exactly once.
  return detail::resolve_default_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                              std::getenv("RAYON_RS_NUM_CPUS"),
                                              [] { return processors_of_this_process(); });
}

}  // namespace

unsigned default_thread_count() {
  // A function-local static is initialised once, thread-safely, at first use.
  static const unsigned count = compute_default_thread_count();
  return count;
}

}  // namespace quarnel::engine::pool
