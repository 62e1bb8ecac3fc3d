#pragma once

#include "common/error.hpp"

namespace quarnel::engine {

inline Error pool_build_error(const Error& cause) {
  return make_error(ErrorKind::runtime_error, "Failed to build thread pool: " + cause.message);
}

}  // namespace quarnel::engine
