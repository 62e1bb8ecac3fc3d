#include "store/map_path.hpp"

#include "binding/converters.hpp"

namespace quarnel::store {

binding::PyResult<MappedFingerprintFile> map_path(PyObject* path_object, std::uint64_t db_offset,
                                                  std::uint64_t db_limit) {
  QUARNEL_TRY(path, binding::convert_path(path_object));
  QUARNEL_TRY(view, map_fingerprint_file(path, db_offset, db_limit));
  return std::move(view);
}

}  // namespace quarnel::store
