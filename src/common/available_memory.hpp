#pragma once

#include <cstdint>

namespace quarnel {

// The bytes this process could still fill before the system runs out: the
// kernel's estimate of available memory plus free swap.  A result that
// grows while it is computed is held to this, because with overcommit its
// allocations succeed and the process is killed only when the pages are
// written.  Falls back to memory_ceiling_bytes() where /proc is unreadable.
// Read at most once a second; calls in between get the last reading.
std::uint64_t available_memory_bytes();

}  // namespace quarnel
