#pragma once

#include <Python.h>

#include "engine/fingerprint_matrix.hpp"

namespace quarnel::bridge {

// Packs a sequence of RDKit ExplicitBitVect objects into rows of words.  Never
// raises: a sequence that cannot be read is reported on standard error and
// gives the empty matrix.  Needs the interpreter lock.
engine::FingerprintMatrix extract_fingerprints(PyObject* fps) noexcept;

}  // namespace quarnel::bridge
