#include "store/clean_words.hpp"

#include <cstring>

namespace quarnel::store {
namespace {

// Bits of the last word past the length; zero when the length fills it.
std::uint64_t stray_mask(std::uint64_t n_bits) {
  const std::uint64_t used = n_bits % 64;
  return used == 0 ? 0 : ~((std::uint64_t{1} << used) - 1);
}

}  // namespace

Result<CleanWords> CleanWords::of(const engine::RowView& raw, std::uint64_t n_bits) {
  const std::uint64_t* words = raw.words;
  const std::uint64_t n_words = raw.n_words;
  const std::uint64_t stray = stray_mask(n_bits);
  const std::uint64_t n_rows = raw.n_rows;
  bool clean = true;
  for (std::uint64_t r = 0; r < n_rows && clean && stray != 0; ++r)
    clean = (words[r * n_words + n_words - 1] & stray) == 0;
  if (clean) return CleanWords(raw, OwnedBuffer<std::uint64_t>());

  auto copy = allocate_zeroed<std::uint64_t>(n_rows * n_words);
  if (!copy) return std::move(copy).error();
  std::uint64_t* out = copy->data();
  std::memcpy(out, words, n_rows * n_words * sizeof(std::uint64_t));
  for (std::uint64_t r = 0; r < n_rows; ++r) out[r * n_words + n_words - 1] &= ~stray;
  engine::RowView rows = raw;
  rows.words = out;
  return CleanWords(rows, std::move(copy).value());
}

Result<CleanWords> CleanWords::of(const MappedFingerprintFile& view) {
  return of(engine::RowView{view.window_words(), view.count(), view.n_words(), view.start()}, view.n_bits());
}

}  // namespace quarnel::store
