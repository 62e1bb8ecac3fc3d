#include "store/fingerprint_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "bridge/build_bitvect_list.hpp"
#include "common/owned_buffer.hpp"
#include "store/file_descriptor.hpp"
#include "store/file_format.hpp"
#include "store/read_exact.hpp"

namespace quarnel::store {
namespace {

using binding::PyError;
using binding::PyRef;
using binding::PyResult;

// A regular file too short for the word area its header announces is
// refused before that area is allocated: a hostile 8-byte header could
// otherwise ask for exabytes.  Other files (pipes) are read as they come.
bool announces_more_than_it_holds(int fd, const FileHeader& header) {
  struct stat metadata {};
  if (::fstat(fd, &metadata) != 0 || !S_ISREG(metadata.st_mode)) return false;
  return static_cast<std::uint64_t>(metadata.st_size) < complete_file_bytes(header);
}

PyResult<PyRef> new_list(Py_ssize_t length) {
  PyObject* list = PyList_New(length);
  if (list == nullptr) return PyError::fetch();
  return PyRef::steal(list);
}

}  // namespace

PyResult<PyRef> read_fingerprint_file(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return PyError(os_error(errno));

  unsigned char header_bytes_read[header_bytes];
  QUARNEL_CHECK(read_exact(file.get(), header_bytes_read, sizeof header_bytes_read));
  const FileHeader header = decode_header(header_bytes_read);
  if (header.count == 0) return new_list(0);  // whatever follows the header is ignored

  if (announces_more_than_it_holds(file.get(), header)) return PyError(short_read());
  const std::uint64_t n_words =
      static_cast<std::uint64_t>(header.count) * engine::words_per_fingerprint(header.n_bits);
  QUARNEL_TRY(words, allocate_zeroed<std::uint64_t>(n_words));
  QUARNEL_CHECK(read_exact(file.get(), words.data(), n_words * sizeof(std::uint64_t)));
  file.close();

  PyObject* list = bridge::build_bitvect_list(header.count, header.n_bits, words.data());
  if (list == nullptr) {
    return PyError(make_error(ErrorKind::runtime_error, "Failed to construct fingerprints in C++"));
  }
  return PyRef::steal(list);
}

}  // namespace quarnel::store
