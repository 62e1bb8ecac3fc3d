#pragma once

#include <cstddef>

#include "common/result.hpp"

namespace quarnel::store {

// Reads exactly `size` bytes, retrying reads that a signal interrupted.  End
// of file first is the OSError "failed to fill whole buffer".
Result<Ok> read_exact(int fd, void* buffer, std::size_t size);

Error short_read();

}  // namespace quarnel::store
