#pragma once
// The widest backend the module may use, named by the environment variable
// QUARNEL_KERNEL so that a benchmark can time one machine family's choices
// on another; not for production use.  Read once per process.

#include <span>

#include "engine/kernel/kernel_table.hpp"

namespace quarnel::engine::kernel {

// The runnable table whose name `value` is; null when `value` is null or
// empty.  An unknown name, or one this machine cannot run, gives null and a
// warning on standard error: the choice by CPU then stands.
const KernelTable* parse_forced_kernel(const char* value, std::span<const KernelTable* const> runnable);

}  // namespace quarnel::engine::kernel
