#include "store/mapped_fingerprint_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Read-ahead hints for the bytes a call will read, and no others: over the
// whole file, a call that reads ten rows of a large one had the kernel read
// it all.  Hints only; a refusal changes nothing.
void advise_read_ahead(void* mapping, std::uint64_t first, std::uint64_t length) {
  if (length == 0) return;
  const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t from = first / page * page;
  void* start = static_cast<unsigned char*>(mapping) + from;
  const std::uint64_t span = first + length - from;
  ::madvise(start, span, MADV_WILLNEED);
  ::madvise(start, span, MADV_SEQUENTIAL);
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
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer; it has no
  // size, so the size rule below refuses it at once.  Regular files ignore
  // the flag.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return os_error(errno);
  struct stat metadata {};
  if (::fstat(file.get(), &metadata) != 0) return os_error(errno);
  // Said as reading it would say it, not as mmap's ENODEV.
  if (S_ISDIR(metadata.st_mode)) return os_error(EISDIR);
  const auto size = static_cast<std::uint64_t>(metadata.st_size);
  if (metadata.st_size < static_cast<off_t>(header_bytes)) return invalid_file();

  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.get(), 0);
  if (mapping == MAP_FAILED) return os_error(errno);
  MappedFingerprintFile view(mapping, size);

  const FileHeader header = decode_header(static_cast<const unsigned char*>(mapping));
  if (header.count != 0) {
    const std::uint64_t expected = complete_file_bytes(header);
    if (size < expected) return truncated_file(expected, size);
    view.n_bits_ = header.n_bits;
    const RowWindow window = select_window(header.count, db_offset, db_limit);
    view.start_ = window.start;
    view.count_ = window.count;
    const std::uint64_t row_bytes = 8 * view.n_words();
    advise_read_ahead(mapping, header_bytes + row_bytes * window.start, row_bytes * window.count);
  }
  return view;
}

}  // namespace quarnel::store
