#include "store/fingerprint_reader.hpp"

#include <string>

#include "bridge/bitvect_registration.hpp"
#include "bridge/build_bitvect_list.hpp"
#include "common/owned_buffer.hpp"
#include "store/fingerprint_words.hpp"

namespace quarnel::store {
namespace {

using binding::PyError;
using binding::PyRef;
using binding::PyResult;

PyResult<PyRef> new_list(Py_ssize_t length) {
  PyObject* list = PyList_New(length);
  if (list == nullptr) return PyError::fetch();
  return PyRef::steal(list);
}

// An 8-byte file may announce 2^32 - 1 rows of 0 bits: complete, yet its
// vectors would fill memory long before the last was built, and the process
// would be killed.  Refuse up front what can never fit beside the words.
Result<Ok> check_room_for_vectors(const FingerprintWords& file) {
  const std::uint64_t count = file.header.count;
  const std::uint64_t needed =
      file.words.size() * sizeof(std::uint64_t) + count * bridge::min_bitvect_bytes(file.header.n_bits);
  if (needed <= memory_ceiling_bytes()) return Ok{};
  return make_error(ErrorKind::memory_error, "cannot load " + std::to_string(count) + " fingerprints of " +
                                                 std::to_string(file.header.n_bits) +
                                                 " bits: they need more memory than this machine has");
}

}  // namespace

PyResult<PyRef> read_fingerprint_file(const std::string& path) {
  QUARNEL_TRY(file, read_fingerprint_words(path));
  if (file.header.count == 0) return new_list(0);
  QUARNEL_CHECK(check_room_for_vectors(file));
  QUARNEL_CHECK(bridge::ensure_bitvect_class());

  PyObject* list = bridge::build_bitvect_list(file.header.count, file.header.n_bits, file.words.data());
  if (list == nullptr) {
    return PyError(make_error(ErrorKind::runtime_error, "Failed to construct fingerprints in C++"));
  }
  return PyRef::steal(list);
}

}  // namespace quarnel::store
