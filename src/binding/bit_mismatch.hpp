#pragma once
// The one error every comparison of two non-empty sets of different bit
// lengths ends with, in-memory or mapped.

#include "common/error.hpp"

namespace quarnel::binding {

inline Error bit_mismatch() { return make_error(ErrorKind::value_error, "Fingerprint bit mismatch"); }

}  // namespace quarnel::binding
