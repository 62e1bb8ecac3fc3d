#include "store/read_exact.hpp"

#include <unistd.h>

#include <cerrno>

namespace quarnel::store {

Error short_read() { return Error{ErrorKind::os_error, "failed to fill whole buffer", 0}; }

Result<Ok> read_exact(int fd, void* buffer, std::size_t size) {
  auto* cursor = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::read(fd, cursor, size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) return short_read();
    cursor += got;
    size -= static_cast<std::size_t>(got);
  }
  return Ok{};
}

}  // namespace quarnel::store
