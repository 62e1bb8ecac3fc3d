#include "store/mapped_fingerprint_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "store/file_descriptor.hpp"
#include "store/file_format.hpp"

namespace quarnel::store {
namespace {

Error invalid_file() { return make_error(ErrorKind::value_error, "Invalid or empty binary footprint file"); }

Error truncated_file(std::uint64_t expected, std::uint64_t actual) {
  return make_error(ErrorKind::value_error, "Truncated binary footprint file: expected " +
                                                std::to_string(expected) + " bytes, found " +
                                                std::to_string(actual));
}

}  // namespace

MappedFingerprintFile::MappedFingerprintFile(MappedFingerprintFile&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      count_(other.count_),
      n_bits_(other.n_bits_),
      start_(other.start_) {}

MappedFingerprintFile::~MappedFingerprintFile() {
  if (mapping_ != nullptr) ::munmap(mapping_, length_);
}

const std::uint64_t* MappedFingerprintFile::window_words() const {
  const auto* bytes = static_cast<const unsigned char*>(mapping_);
  // The mapping is page-aligned and rows start at byte 8, so every word is
  // 8-byte aligned in place.
  return reinterpret_cast<const std::uint64_t*>(bytes + header_bytes + 8 * n_words() * start_);
}

Result<MappedFingerprintFile> map_fingerprint_file(const std::string& path, std::uint64_t db_offset,
                                                   std::uint64_t db_limit) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return os_error(errno);
  struct stat metadata {};
  if (::fstat(file.get(), &metadata) != 0) return os_error(errno);
  const auto size = static_cast<std::uint64_t>(metadata.st_size);
  if (metadata.st_size < static_cast<off_t>(header_bytes)) return invalid_file();

  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.get(), 0);
  if (mapping == MAP_FAILED) return os_error(errno);
  MappedFingerprintFile view(mapping, size);
  // Read-ahead hints only; a refusal changes nothing.
  ::madvise(mapping, size, MADV_WILLNEED);
  ::madvise(mapping, size, MADV_SEQUENTIAL);

  const FileHeader header = decode_header(static_cast<const unsigned char*>(mapping));
  if (header.count != 0) {
    const std::uint64_t expected = complete_file_bytes(header);
    if (size < expected) return truncated_file(expected, size);
    view.n_bits_ = header.n_bits;
    view.start_ = std::min<std::uint64_t>(db_offset, header.count);
    const std::uint64_t remaining = header.count - view.start_;
    view.count_ = db_limit == 0 ? remaining : std::min(db_limit, remaining);
  }
  return view;
}

}  // namespace quarnel::store
