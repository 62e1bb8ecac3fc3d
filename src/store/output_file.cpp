#include "store/output_file.hpp"

#include <cerrno>

namespace quarnel::store {

OutputFile::OutputFile(const std::string& path) : stream_(std::fopen(path.c_str(), "wbe")) {
  if (stream_ == nullptr) open_errno_ = errno;
}

OutputFile::~OutputFile() { close(); }

void OutputFile::write(const void* data, std::size_t size) {
  if (stream_ == nullptr || size == 0) return;
  if (std::fwrite(data, 1, size, stream_) != size && first_errno_ == 0)
    first_errno_ = errno != 0 ? errno : EIO;
}

int OutputFile::close() {
  if (stream_ != nullptr) {
    errno = 0;
    if (std::fclose(stream_) != 0 && first_errno_ == 0) first_errno_ = errno != 0 ? errno : EIO;
    stream_ = nullptr;
  }
  return first_errno_;
}

}  // namespace quarnel::store
