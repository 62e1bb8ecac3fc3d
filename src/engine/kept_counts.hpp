#pragma once
// Bit counts made once for a database that is searched many times (a
// prepared database), handed to a search so that it does not count the
// rows again.  Not owned: they live as long as the rows they count.

#include <cstdint>

namespace quarnel::engine {

struct KeptCounts {
  const std::uint32_t* counts;   // set bits of each row, numbered as the rows searched
  const std::uint8_t* segments;  // row_segments counts a row where the width has them, else null
};

}  // namespace quarnel::engine
