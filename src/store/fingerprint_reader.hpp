#pragma once

#include <string>

#include "binding/py_error.hpp"

namespace quarnel::store {

// A new list of new ExplicitBitVect objects read from the fingerprint file
// at `path` (file-system bytes).
binding::PyResult<binding::PyRef> read_fingerprint_file(const std::string& path);

}  // namespace quarnel::store
