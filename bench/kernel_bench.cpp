// AND-popcount throughput of every backend this CPU runs, per width: the
// numbers behind the choice of the backend per width.  Build with
// `meson setup build-bench -Dbenchmarks=true && ninja -C build-bench`, run
// `build-bench/bench/kernel_bench`.
//
// Times are the thread's CPU time, best of many short tries, so that other
// work on a shared machine moves the figures less; compare rows of one run.
// `avx2-lookup` is the AVX2 kernel the module used before its adder-and-
// POPCNT loop: the nibble lookup of every vector, the query reloaded for
// every row.  It stays here as the yardstick of that loop.  `NAME+8B` is
// a vector backend on rows that start one word into their 64-byte lines,
// as a mapped file's rows do after its 8-byte header: loads that straddle
// two lines.

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/kernel/kernel_table.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using quarnel::engine::kernel::kernel_for_width;
using quarnel::engine::kernel::KernelTable;
using quarnel::engine::kernel::runnable_kernels;

namespace {

using AndCount = void (*)(const std::uint64_t* query, const std::uint64_t* rows, std::size_t n_rows,
                          std::size_t n_words, std::uint32_t* out);

#if defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("avx2,popcnt")

__m256i lookup_popcount_bytes(__m256i v) {
  const __m256i lookup = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2,
                                          3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low_mask = _mm256_set1_epi8(0x0f);
  const __m256i low = _mm256_and_si256(v, low_mask);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), low_mask);
  return _mm256_add_epi8(_mm256_shuffle_epi8(lookup, low), _mm256_shuffle_epi8(lookup, high));
}

template <std::size_t W>
std::uint32_t lookup_and_popcount(const std::uint64_t* a, const std::uint64_t* b) {
  constexpr std::size_t vectors = W / 4;
  __m256i total = _mm256_setzero_si256();
  for (std::size_t base = 0; base < vectors; base += 8) {
    __m256i bytes = _mm256_setzero_si256();
    const std::size_t end = base + 8 < vectors ? base + 8 : vectors;
    for (std::size_t v = base; v < end; ++v) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 4 * v));
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 4 * v));
      bytes = _mm256_add_epi8(bytes, lookup_popcount_bytes(_mm256_and_si256(x, y)));
    }
    total = _mm256_add_epi64(total, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
  }
  const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(total), _mm256_extracti128_si256(total, 1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
}

template <std::size_t W>
void lookup_rows(const std::uint64_t* query, const std::uint64_t* rows, std::size_t n_rows,
                 std::uint32_t* out) {
  for (std::size_t r = 0; r < n_rows; ++r) out[r] = lookup_and_popcount<W>(query, rows + r * W);
}

// Only the vector widths: the module never ran this loop at others.
void lookup_and_count_rows(const std::uint64_t* query, const std::uint64_t* rows, std::size_t n_rows,
                           std::size_t n_words, std::uint32_t* out) {
  switch (n_words) {
    case 16: return lookup_rows<16>(query, rows, n_rows, out);
    case 32: return lookup_rows<32>(query, rows, n_rows, out);
    case 64: return lookup_rows<64>(query, rows, n_rows, out);
    default: std::memset(out, 0, n_rows * sizeof *out);
  }
}

#pragma GCC pop_options
#endif

struct Contender {
  const char* name;
  AndCount and_count_rows;
  // Words from the start of a 64-byte line to the first row, and to the
  // query (0 or 1): a mapped file's rows follow its 8-byte header, so they
  // sit one word into their lines.
  std::size_t offset_words = 0;
};

// A copy of n words starting offset_words (0 or 1) into a 64-byte line.
class WordsInLine {
 public:
  WordsInLine(const std::vector<std::uint64_t>& words, std::size_t n, std::size_t offset_words)
      : storage_(n + 8) {
    const auto line = (reinterpret_cast<std::uintptr_t>(storage_.data()) + 63) & ~std::uintptr_t{63};
    start_ = reinterpret_cast<std::uint64_t*>(line) + offset_words;
    for (std::size_t w = 0; w < n; ++w) start_[w] = words[w];
  }
  const std::uint64_t* data() const { return start_; }

 private:
  std::vector<std::uint64_t> storage_;
  std::uint64_t* start_;
};

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Pairs per second of each contender over n_rows rows (the size decides the
// cache level): the contenders take turns, tries of a few milliseconds of
// CPU time each, and each keeps its best, so that a burst of other work
// hits them alike.
std::vector<double> pairs_per_second(const std::vector<Contender>& contenders, std::size_t n_words,
                                     std::size_t n_rows, int tries) {
  std::mt19937_64 random(3);
  std::vector<std::uint64_t> words(n_rows * n_words);
  for (auto& w : words) w = random() & random() & random();
  const WordsInLine rows[2] = {{words, words.size(), 0}, {words, words.size(), 1}};
  const WordsInLine queries[2] = {{words, n_words, 0}, {words, n_words, 1}};
  std::vector<std::uint32_t> out(n_rows);
  std::uint64_t sink = 0;
  std::vector<double> best(contenders.size());
  // The thread's clock is a system call (about 0.6 us on a VM): read it
  // after enough calls that it costs well under 1% of what it times.
  const std::size_t calls_per_reading = std::max<std::size_t>(8, 65536 / n_rows);
  for (int attempt = 0; attempt < tries; ++attempt) {
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      const std::size_t offset = contenders[c].offset_words;
      std::size_t pairs = 0;
      const double start = thread_seconds();
      double seconds = 0;
      while (seconds < 0.004) {
        for (std::size_t call = 0; call < calls_per_reading; ++call) {
          contenders[c].and_count_rows(queries[offset].data(), rows[offset].data(), n_rows, n_words,
                                       out.data());
          sink += out[n_rows / 2];
          pairs += n_rows;
        }
        seconds = thread_seconds() - start;
      }
      best[c] = std::max(best[c], static_cast<double>(pairs) / seconds);
    }
  }
  if (sink == 1) std::puts("");  // keeps the work observable
  return best;
}

// The core's clock while this thread runs, from a chain of dependent
// additions (one cycle each on every x86 core since the Pentium 4): turns
// pairs per second into cycles per pair, to set a loop beside the core's
// issue width.  The empty asm keeps each addition, and keeps it in order.
double core_hertz() {
  double best = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::uint64_t x = 0;
    constexpr long rounds = 4'000'000;
    const double start = thread_seconds();
    for (long r = 0; r < rounds; ++r) {
      for (int a = 0; a < 16; ++a) {
        x += 1;
        __asm__ volatile("" : "+r"(x));
      }
    }
    best = std::max(best, 16.0 * rounds / (thread_seconds() - start));
    if (x != 16 * rounds) std::puts("");
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Contender> contenders;
  for (const KernelTable* kernel : runnable_kernels()) {
    contenders.push_back({kernel->name, kernel->and_count_rows});
#if defined(__x86_64__)
    if (std::strcmp(kernel->name, "avx2") == 0) contenders.push_back({"avx2-lookup", &lookup_and_count_rows});
#endif
  }
  // The vector backends on rows laid out as in a mapped file.
  static std::vector<std::string> offset_names;
  offset_names.reserve(runnable_kernels().size());
  for (const KernelTable* kernel : runnable_kernels()) {
    if (std::strcmp(kernel->name, "avx2") != 0 && std::strcmp(kernel->name, "avx512") != 0) continue;
    offset_names.push_back(std::string(kernel->name) + "+8B");
    contenders.push_back({offset_names.back().c_str(), kernel->and_count_rows, 1});
  }
  std::printf("clock %.2f GHz (dependent additions)\n", core_hertz() / 1e9);
  std::printf("%-12s %6s %14s %14s %14s\n", "backend", "bits", "L1 Mpairs/s", "L2 Mpairs/s", "RAM Mpairs/s");
  // Widths in bits from the command line (benchmark.py asks for 2048 only).
  std::vector<std::size_t> widths = {167, 256, 512, 768, 1024, 2048, 4096, 1000};
  if (argc > 1) widths.clear();
  for (int a = 1; a < argc; ++a)
    widths.push_back(static_cast<std::size_t>(std::strtoul(argv[a], nullptr, 10)));
  for (std::size_t bits : widths) {
    const std::size_t n_words = (bits + 63) / 64;
    const bool vector_width = n_words == 16 || n_words == 32 || n_words == 64;
    std::vector<Contender> here;
    for (const Contender& contender : contenders) {
      if (vector_width || std::strcmp(contender.name, "avx2-lookup") != 0) here.push_back(contender);
    }
    const auto l1 = pairs_per_second(here, n_words, 16384 / (8 * n_words) + 1, 25);
    const auto l2 = pairs_per_second(here, n_words, 65536 / (8 * n_words) + 1, 25);
    const auto ram = pairs_per_second(here, n_words, (64u << 20) / (8 * n_words), 3);
    for (std::size_t c = 0; c < here.size(); ++c) {
      std::printf("%-12s %6zu %14.1f %14.1f %14.1f\n", here[c].name, bits, l1[c] / 1e6, l2[c] / 1e6,
                  ram[c] / 1e6);
    }
    std::printf("%-12s %6zu %s\n", "chosen", bits, kernel_for_width(n_words).name);
  }
}
