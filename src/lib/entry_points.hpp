#pragma once
// The functions the module exposes, as method definitions in the
// order of the module's __all__.

#include <Python.h>

#include <span>

namespace quarnel::lib {

std::span<PyMethodDef> function_table();

}  // namespace quarnel::lib
