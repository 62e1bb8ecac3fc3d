// AND-popcount throughput of every backend this CPU runs, per width: the
// numbers behind the choice of the backend per width.  Build with
// `meson setup build-bench -Dbenchmarks=true && ninja -C build-bench`, run
// `build-bench/bench/kernel_bench`.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/kernel/kernel_table.hpp"

using quarnel::engine::kernel::kernel_for_width;
using quarnel::engine::kernel::KernelTable;
using quarnel::engine::kernel::runnable_kernels;

namespace {

double pairs_per_second(const KernelTable& kernel, std::size_t n_words, std::size_t n_rows) {
  std::mt19937_64 random(3);
  std::vector<std::uint64_t> rows(n_rows * n_words);
  for (auto& w : rows) w = random() & random() & random();
  std::vector<std::uint64_t> query(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(n_words));
  std::vector<std::uint32_t> out(n_rows);
  std::uint64_t sink = 0;
  std::size_t pairs = 0;
  const auto start = std::chrono::steady_clock::now();
  double seconds = 0;
  while (seconds < 0.3) {
    kernel.and_count_rows(query.data(), rows.data(), n_rows, n_words, out.data());
    sink += out[n_rows / 2];
    pairs += n_rows;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (sink == 1) std::puts("");  // keeps the work observable
  return static_cast<double>(pairs) / seconds;
}

}  // namespace

int main() {
  std::printf("%-10s %6s %14s %14s %14s\n", "backend", "bits", "L1 Mpairs/s", "L2 Mpairs/s", "RAM Mpairs/s");
  for (std::size_t bits : {167, 256, 512, 768, 1024, 2048, 4096, 1000}) {
    const std::size_t n_words = (bits + 63) / 64;
    for (const KernelTable* kernel : runnable_kernels()) {
      const double l1 = pairs_per_second(*kernel, n_words, 16384 / (8 * n_words) + 1);
      const double l2 = pairs_per_second(*kernel, n_words, 65536 / (8 * n_words) + 1);
      const double ram = pairs_per_second(*kernel, n_words, (64u << 20) / (8 * n_words));
      std::printf("%-10s %6zu %14.1f %14.1f %14.1f\n", kernel->name, bits, l1 / 1e6, l2 / 1e6, ram / 1e6);
    }
    std::printf("%-10s %6zu %s\n", "chosen", bits, kernel_for_width(n_words).name);
  }
}
