#pragma once
// Binds a fast call's positional and keyword arguments to a function's
// parameters.  One table-driven routine for all functions, so every one of
// them reports a bad argument list in the same words.

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "binding/py_error.hpp"

namespace quarnel::binding {

inline constexpr std::size_t max_parameters = 10;

struct FunctionSignature {
  // Built at compile time only, so that a signature longer than
  // BoundArguments holds fails the build instead of overrunning it.
  consteval FunctionSignature(std::string_view name, std::span<const char* const> parameters,
                              std::size_t required)
      : name(name), parameters(parameters), required(required) {
    if (parameters.size() > max_parameters) throw "more parameters than max_parameters";
  }

  std::string_view name;  // "bulk_tanimoto_parallel"
  std::span<const char* const> parameters;
  std::size_t required;  // the leading parameters without a default
};

// Borrowed references, in parameter order; null where nothing was given.
using BoundArguments = std::array<PyObject*, max_parameters>;

PyResult<BoundArguments> bind_arguments(const FunctionSignature& signature, PyObject* const* args,
                                        Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quarnel::binding
