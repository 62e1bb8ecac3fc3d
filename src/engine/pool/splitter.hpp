#pragma once
// When to cut a piece of a row loop in two: adaptive halving.  The budget
// starts at the thread count and halves at every cut, so without stealing
// a loop ends in 2^(b+1) pieces for 2^b <= T < 2^(b+1).  A half that a
// thief runs gets the budget back (at least T), since a theft shows some
// worker is idle and the loop is unbalanced.

#include <algorithm>
#include <cstddef>

namespace quarnel::engine::pool {

class Splitter {
 public:
  explicit Splitter(unsigned n_threads) noexcept : n_threads_(n_threads), budget_(n_threads) {}

  // Whether a piece of `len` rows should be cut; a piece of one row never is.
  // `migrated`: the piece runs on a worker other than the one that published it.
  bool try_split(std::size_t len, bool migrated) noexcept {
    if (len < 2) return false;
    if (migrated) {
      budget_ = std::max(n_threads_, budget_ / 2);
      return true;
    }
    if (budget_ == 0) return false;
    budget_ /= 2;
    return true;
  }

 private:
  unsigned n_threads_;
  unsigned budget_;
};

// The cut point of [first, last): the left half gets floor(len / 2) rows.
inline std::size_t split_point(std::size_t first, std::size_t last) noexcept {
  return first + (last - first) / 2;
}

}  // namespace quarnel::engine::pool
