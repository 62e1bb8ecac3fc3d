#include "store/prepared_database.hpp"

#include <string>

#include "binding/binder.hpp"
#include "binding/converters.hpp"

namespace quarnel::store {
namespace {

struct PreparedObject {
  PyObject_HEAD PreparedDatabase* database;
};

// Made once, by the first module object's exec slot, and kept for the
// process's life: every module object hands out and recognises the same
// type.
PyTypeObject* prepared_type = nullptr;

const PreparedDatabase& database_of(PyObject* self) {
  return *reinterpret_cast<PreparedObject*>(self)->database;
}

void prepared_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PreparedObject*>(self)->database;  // unmaps the file, releases the array
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* rows_getter(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(database_of(self).rows().rows.n_rows);
}

PyObject* n_bits_getter(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(database_of(self).n_bits());
}

PyObject* grouped_getter(PyObject* self, void*) {
  return PyBool_FromLong(database_of(self).rows().groups.has_value());
}

PyObject* nbytes_getter(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(database_of(self).rows().owned_bytes());
}

PyObject* prepared_repr(PyObject* self) {
  const PreparedDatabase& database = database_of(self);
  const std::string text = "<PreparedRows: " + std::to_string(database.rows().rows.n_rows) + " rows of " +
                           std::to_string(database.n_bits()) + " bits" +
                           (database.rows().groups ? ", grouped by count>" : ">");
  return PyUnicode_FromString(text.c_str());
}

PyGetSetDef prepared_getset[] = {
    {"rows", rows_getter, nullptr, "The number of rows.", nullptr},
    {"n_bits", n_bits_getter, nullptr, "The rows' bit length.", nullptr},
    {"grouped", grouped_getter, nullptr, "Whether the rows were also copied in bit-count order.", nullptr},
    {"nbytes", nbytes_getter, nullptr, "The bytes the preparation allocated (a file's mapping not included).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot prepared_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(prepared_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(prepared_repr)},
    {Py_tp_getset, prepared_getset},
    {Py_tp_doc,
     const_cast<char*>("A fingerprint database counted once for many searches; made by prepare().")},
    {0, nullptr},
};

PyType_Spec prepared_spec = {
    "_quarnel._scoring.PreparedRows",
    sizeof(PreparedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    prepared_slots,
};

constexpr const char* prepare_parameters[] = {"database", "group", "n_threads"};
constexpr binding::FunctionSignature prepare_signature{"prepare", prepare_parameters, 1};

binding::PyResult<bool> convert_group(PyObject* value) {
  if (value == nullptr) return true;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return binding::PyError::fetch();
  return truth == 1;
}

}  // namespace

binding::PyResult<std::unique_ptr<PreparedDatabase>> PreparedDatabase::open(PyObject* database, bool group,
                                                                            std::int32_t n_threads) {
  QUARNEL_TRY(source, RowSource::open(database, "database", 0, 0));
  QUARNEL_TRY(clean, source.clean_rows());
  QUARNEL_TRY(rows, engine::arena::prepare_rows(clean.rows(), static_cast<std::uint32_t>(source.n_bits()),
                                                group, n_threads));
  return std::unique_ptr<PreparedDatabase>(
      new PreparedDatabase(std::move(source), std::move(clean), std::move(rows)));
}

int add_prepared_type(PyObject* scoring) {
  if (prepared_type == nullptr) {
    prepared_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&prepared_spec));
    if (prepared_type == nullptr) return -1;
  }
  return PyObject_SetAttrString(scoring, "PreparedRows", reinterpret_cast<PyObject*>(prepared_type));
}

const PreparedDatabase* prepared_database_of(PyObject* value) {
  if (prepared_type == nullptr || Py_TYPE(value) != prepared_type) return nullptr;
  return &database_of(value);
}

binding::PyResult<binding::PyRef> prepare(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  QUARNEL_TRY(bound, binding::bind_arguments(prepare_signature, args, nargsf, kwnames));
  QUARNEL_TRY(group, convert_group(bound[1]));
  QUARNEL_TRY(n_threads, binding::convert_n_threads(bound[2]));
  QUARNEL_TRY(database, PreparedDatabase::open(bound[0], group, n_threads));
  binding::PyRef object = binding::PyRef::steal(prepared_type->tp_alloc(prepared_type, 0));
  if (!object) return binding::PyError::fetch();
  reinterpret_cast<PreparedObject*>(object.get())->database = database.release();
  return object;
}

}  // namespace quarnel::store
