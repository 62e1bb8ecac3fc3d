#pragma once
// The rows a picker chose, in pick order, as the buffer the binding wraps.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"

namespace quarnel::engine {

inline Result<OwnedBuffer<std::int64_t>> pick_list(const std::vector<std::int64_t>& rows) {
  auto buffer = allocate_zeroed<std::int64_t>(rows.size());
  if (buffer && !rows.empty()) std::copy(rows.begin(), rows.end(), buffer->data());
  return buffer;
}

}  // namespace quarnel::engine
