#include "store/fingerprint_words.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "store/file_descriptor.hpp"
#include "store/read_exact.hpp"

namespace quarnel::store {
namespace {

// A regular file too short for the word area its header announces is
// refused before that area is allocated: a hostile 8-byte header could
// otherwise ask for exabytes.  Other files (pipes) are read as they come.
bool announces_more_than_it_holds(int fd, const FileHeader& header) {
  struct stat metadata {};
  if (::fstat(fd, &metadata) != 0 || !S_ISREG(metadata.st_mode)) return false;
  return static_cast<std::uint64_t>(metadata.st_size) < complete_file_bytes(header);
}

}  // namespace

Result<FingerprintWords> read_fingerprint_words(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return os_error(errno);

  unsigned char raw_header[header_bytes];
  QUARNEL_CHECK(read_exact(file.get(), raw_header, sizeof raw_header));
  FingerprintWords result{decode_header(raw_header), OwnedBuffer<std::uint64_t>()};
  if (result.header.count == 0) return result;  // whatever follows the header is ignored

  if (announces_more_than_it_holds(file.get(), result.header)) return short_read();
  const std::uint64_t n_words =
      static_cast<std::uint64_t>(result.header.count) * engine::words_per_fingerprint(result.header.n_bits);
  QUARNEL_TRY(words, allocate_zeroed<std::uint64_t>(n_words));
  QUARNEL_CHECK(read_exact(file.get(), words.data(), n_words * sizeof(std::uint64_t)));
  result.words = std::move(words);
  return result;
}

}  // namespace quarnel::store
