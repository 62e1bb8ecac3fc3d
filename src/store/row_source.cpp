#include "store/row_source.hpp"

#include <algorithm>

#include "binding/converters.hpp"
#include "store/map_path.hpp"

namespace quarnel::store {
namespace {

bool is_path(PyObject* value) {
  return PyUnicode_Check(value) || PyBytes_Check(value) || PyObject_HasAttrString(value, "__fspath__");
}

engine::RowView window_of(const engine::RowView& all, std::uint64_t db_offset, std::uint64_t db_limit) {
  const std::uint64_t first = std::min(db_offset, all.n_rows);
  std::uint64_t n = all.n_rows - first;
  if (db_limit != 0) n = std::min(n, db_limit);
  return engine::RowView{all.words + first * all.n_words, n, all.n_words, first};
}

}  // namespace

binding::PyResult<RowSource> RowSource::open(PyObject* value, const char* parameter, std::uint64_t db_offset,
                                             std::uint64_t db_limit) {
  if (PyTuple_Check(value) && PyTuple_GET_SIZE(value) == 2) {
    QUARNEL_TRY(array,
                binding::BufferRows::of(PyTuple_GET_ITEM(value, 0), PyTuple_GET_ITEM(value, 1), parameter));
    const engine::RowView window = window_of(array.rows(), db_offset, db_limit);
    const std::uint64_t n_bits = array.n_bits();
    return RowSource(std::nullopt, std::move(array), window, n_bits);
  }
  if (!is_path(value)) {
    return binding::PyError(make_error(ErrorKind::type_error,
                                       "expected a fingerprint file path or an (array, n_bits) tuple, not '" +
                                           binding::type_name_of(value) + "'"))
        .with_argument_prefix(parameter);
  }
  QUARNEL_TRY(file, map_path(value, db_offset, db_limit));
  const engine::RowView window{file.window_words(), file.count(), file.n_words(), file.start()};
  const std::uint64_t n_bits = file.n_bits();
  return RowSource(std::move(file), std::nullopt, window, n_bits);
}

}  // namespace quarnel::store
