#pragma once
// The number of worker threads a call gets when it does not name one.

namespace quarnel::engine::pool {

// Computed once per process, at first use, from "RAYON_NUM_THREADS",
// "RAYON_RS_NUM_CPUS", the CPU affinity mask and the control group's CPU
// quota; between 1 and max_thread_count.  Thread-safe.
unsigned default_thread_count();

}  // namespace quarnel::engine::pool
