#include "binding/numpy_api.hpp"

#include "binding/gil_once.hpp"

namespace quarnel::binding {
namespace {

// Slots of the API table; NumPy keeps them fixed across 1.x and 2.x.
constexpr int slot_array_type = 2;
constexpr int slot_descr_from_type = 45;
constexpr int slot_new_from_descr = 94;
constexpr int slot_set_base_object = 282;

Error capsule_fault() {
  return make_error(ErrorKind::internal_fault, "Failed to access NumPy array API capsule");
}

// A NumPy that cannot be imported or lacks what we look up is a fault of
// the installation.  Anything else the imports raised (KeyboardInterrupt
// from a Ctrl-C that arrived while NumPy's own code ran, MemoryError) is
// not about NumPy and is passed on as itself; being a failure, it is not
// kept, and the next call tries again.
PyError lookup_failure() {
  if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_ImportError) &&
      !PyErr_ExceptionMatches(PyExc_AttributeError)) {
    return PyError::fetch();
  }
  PyErr_Clear();
  return capsule_fault();
}

// NumPy 2 moved the capsule from numpy.core to numpy._core.
PyResult<const char*> multiarray_module_name() {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return lookup_failure();
  PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return lookup_failure();
  PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) return lookup_failure();
  PyRef parsed = PyRef::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  PyRef major = parsed ? PyRef::steal(PyObject_GetAttrString(parsed.get(), "major")) : PyRef();
  const long major_number = major ? PyLong_AsLong(major.get()) : -1;
  if (major_number < 0) return lookup_failure();
  return major_number >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

PyResult<const NumpyApi*> load_numpy_api() {
  QUARNEL_TRY(module_name, multiarray_module_name());
  PyRef multiarray = PyRef::steal(PyImport_ImportModule(module_name));
  PyRef capsule = multiarray ? PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API")) : PyRef();
  if (!capsule) return lookup_failure();
  void** table = PyCapsule_CheckExact(capsule.get())
                     ? static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr))
                     : nullptr;
  if (table == nullptr) {
    // A capsule of the wrong kind (or name): NumPy's fault, whatever it set.
    PyErr_Clear();
    return capsule_fault();
  }
  // The table lives as long as NumPy, which is never unloaded; the capsule
  // reference is kept so that stays true.
  capsule.release();
  static NumpyApi api;
  api.array_type = static_cast<PyTypeObject*>(table[slot_array_type]);
  api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[slot_descr_from_type]);
  api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[slot_new_from_descr]);
  api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[slot_set_base_object]);
  return &api;
}

}  // namespace

PyResult<const NumpyApi*> numpy_api() {
  static GilOnce<const NumpyApi*> api;
  return api.get(load_numpy_api);
}

}  // namespace quarnel::binding
