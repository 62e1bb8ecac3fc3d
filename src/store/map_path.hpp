#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/py_error.hpp"
#include "store/mapped_fingerprint_file.hpp"

namespace quarnel::store {

// Converts the path object and maps its file.  The path is converted at the
// moment its file is opened, so that a bad second path is reported only
// after the first file was found.
binding::PyResult<MappedFingerprintFile> map_path(PyObject* path_object, std::uint64_t db_offset,
                                                  std::uint64_t db_limit);

}  // namespace quarnel::store
