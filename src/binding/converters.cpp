#include "binding/converters.hpp"

#include <cstring>
#include <limits>

#include "binding/gil_once.hpp"

namespace quarnel::binding {
namespace {

PyResult<PyObject*> sequence_abc() {
  static GilOnce<PyObject*> sequence_type;
  return sequence_type.get([]() -> PyResult<PyObject*> {
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return PyError::fetch();
    PyObject* type = PyObject_GetAttrString(module.get(), "Sequence");
    if (type == nullptr) return PyError::fetch();
    if (!PyType_Check(type)) {
      Py_DECREF(type);
      return make_error(ErrorKind::internal_fault, "collections.abc.Sequence is not a type");
    }
    return type;  // kept for the life of the process
  });
}

// isinstance(value, Sequence); a check that itself raises is reported as
// unraisable and counts as "no".
PyResult<bool> is_abc_sequence(PyObject* value) {
  auto type = sequence_abc();
  if (!type) return std::move(type).error();
  const int answer = PyObject_IsInstance(value, *type);
  if (answer < 0) {
    PyErr_WriteUnraisable(value);
    return false;
  }
  return answer == 1;
}

Error not_an_instance(PyObject* value, const char* expected) {
  std::string message(1, '\'');
  if (value == Py_None) {
    message.append("None' is");
  } else {
    message.append(type_name_of(value)).append("' object is");
  }
  message.append(" not an instance of '").append(expected).append("'");
  return make_error(ErrorKind::type_error, std::move(message));
}

PyResult<std::uint64_t> read_unsigned(PyObject* value) {
  if (PyLong_Check(value)) {
    const unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyError::fetch();
    return static_cast<std::uint64_t>(number);
  }
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return PyError::fetch();
  return read_unsigned(index.get());
}

}  // namespace

std::string type_name_of(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

PyResult<PyObject*> convert_sequence(PyObject* value, const char* parameter) {
  if (PyList_Check(value) || PyTuple_Check(value)) return value;
  auto accepted = is_abc_sequence(value);
  if (!accepted) return std::move(accepted).error().with_argument_prefix(parameter);
  if (!*accepted) return PyError(not_an_instance(value, "Sequence")).with_argument_prefix(parameter);
  return value;
}

PyResult<std::int32_t> convert_n_threads(PyObject* value) {
  if (value == nullptr) return -1;
  const long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return PyError::fetch().with_argument_prefix("n_threads");
  if (number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    return PyError(make_error(ErrorKind::overflow_error, "out of range integral type conversion attempted"));
  }
  return static_cast<std::int32_t>(number);
}

PyResult<std::uint64_t> convert_unsigned(PyObject* value, const char* parameter, std::uint64_t fallback) {
  if (value == nullptr) return fallback;
  auto number = read_unsigned(value);
  if (!number) return std::move(number).error().with_argument_prefix(parameter);
  return number;
}

PyResult<std::int64_t> convert_signed(PyObject* value, const char* parameter, std::int64_t fallback) {
  if (value == nullptr) return fallback;
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return PyError::fetch().with_argument_prefix(parameter);
  const long long number = PyLong_AsLongLong(index.get());
  if (number == -1 && PyErr_Occurred()) return PyError::fetch().with_argument_prefix(parameter);
  return static_cast<std::int64_t>(number);
}

PyResult<std::vector<std::int64_t>> convert_row_list(PyObject* value, const char* parameter) {
  std::vector<std::int64_t> rows;
  if (value == nullptr || value == Py_None) return rows;
  PyRef items = PyRef::steal(PySequence_Fast(value, "expected a sequence of row numbers"));
  if (!items) return PyError::fetch().with_argument_prefix(parameter);
  const Py_ssize_t n_items = PySequence_Fast_GET_SIZE(items.get());
  PyObject** item = PySequence_Fast_ITEMS(items.get());
  rows.reserve(static_cast<std::size_t>(n_items));
  for (Py_ssize_t i = 0; i < n_items; ++i) {
    auto row = convert_signed(item[i], parameter, 0);
    if (!row) return std::move(row).error();
    rows.push_back(*row);
  }
  return rows;
}

PyResult<double> convert_threshold(PyObject* value) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return PyError::fetch().with_argument_prefix("threshold");
  // Written so that NaN fails too.
  if (!(number >= 0.0 && number <= 1.0)) {
    return PyError(make_error(ErrorKind::value_error, "Invalid threshold. Choose a value from 0.0 to 1.0."));
  }
  return number;
}

PyResult<std::optional<std::string>> convert_aggregation_text(PyObject* value) {
  if (value == nullptr || value == Py_None) return std::optional<std::string>();
  if (!PyUnicode_Check(value)) return PyError(not_an_instance(value, "str")).with_argument_prefix("agg");
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &length);
  if (text == nullptr) return PyError::fetch().with_argument_prefix("agg");
  return std::optional<std::string>(std::string(text, static_cast<std::size_t>(length)));
}

PyResult<std::string> convert_path(PyObject* value) {
  PyRef path = PyRef::steal(PyOS_FSPath(value));
  if (!path) return PyError::fetch();
  if (!PyUnicode_Check(path.get())) return PyError(not_an_instance(path.get(), "str"));
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return PyError::fetch();
  // The system would read the name only up to the first NUL and open some
  // other file; refuse it as Python's own file functions do.
  if (std::memchr(PyBytes_AS_STRING(encoded.get()), 0,
                  static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())))) {
    return PyError(make_error(ErrorKind::value_error, "embedded null byte"));
  }
  return std::string(PyBytes_AS_STRING(encoded.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

}  // namespace quarnel::binding
