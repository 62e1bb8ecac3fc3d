#pragma once
// The functions the module exposes, as method definitions in the
// order of the module's __all__.

#include <Python.h>

#include <span>

namespace quarnel::lib {

std::span<PyMethodDef> function_table();

// The same functions, with the same signatures, raising what the bridge and
// the file writer would otherwise print to standard error.
std::span<PyMethodDef> checked_function_table();

// The diversity pickers, kept out of the module's public functions.
std::span<PyMethodDef> picker_function_table();

// The scoring functions behind the package's similarity API: every metric
// and mode over files or arrays, raising invalid input and stopping on
// Ctrl-C like the checked functions.
std::span<PyMethodDef> scoring_function_table();

}  // namespace quarnel::lib
