#pragma once
// Rows as the drivers take them, wherever they live (a matrix built from
// Python vectors, a mapped file's window, a NumPy array): words read in
// place, never owned.

#include <cstdint>

namespace quarnel::engine {

struct RowView {
  const std::uint64_t* words;  // n_rows * n_words, bits past the length clear
  std::uint64_t n_rows;
  std::uint64_t n_words;
  // Number of words[0]'s row in its source (a file window's start): added
  // to the row numbers a search returns.
  std::uint64_t first_row = 0;
};

}  // namespace quarnel::engine
