#pragma once

#include <Python.h>

#include <string>

namespace quarnel::store {

// Writes a sequence of ExplicitBitVect objects to a fingerprint file at
// `path` (file-system bytes).  Never raises: every failure, a lost write
// included, is printed to standard error, and the rows written before it
// stay in the file.  Needs the interpreter lock.
void write_fingerprint_file(PyObject* fps, const std::string& path) noexcept;

}  // namespace quarnel::store
