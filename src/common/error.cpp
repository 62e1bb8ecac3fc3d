#include "common/error.hpp"

#include <cstring>

namespace quarnel {

std::string describe_os_error(int errnum) {
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace quarnel
