#include "binding/slice_container.hpp"

#include "binding/gil_once.hpp"

namespace quarnel::binding {
namespace {

struct SliceContainer {
  PyObject_HEAD void* data;
  Py_ssize_t length;
  Py_ssize_t capacity;
  void (*release)(void*);
};

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->release != nullptr && container->data != nullptr) container->release(container->data);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "_quarnel.PySliceContainer",  // __name__ is "PySliceContainer"; not a module attribute
    sizeof(SliceContainer),      0, Py_TPFLAGS_DEFAULT, slice_container_slots,
};

PyResult<PyTypeObject*> slice_container_type() {
  static GilOnce<PyTypeObject*> type;
  return type.get([]() -> PyResult<PyTypeObject*> {
    PyObject* made = PyType_FromSpec(&slice_container_spec);
    if (made == nullptr) {
      PyErr_Clear();
      return make_error(ErrorKind::internal_fault, "Failed to create slice container");
    }
    return reinterpret_cast<PyTypeObject*>(made);  // kept for the life of the process
  });
}

}  // namespace

PyResult<PyRef> make_slice_container(void* data, std::uint64_t length, void (*release)(void*)) {
  auto type = slice_container_type();
  if (!type) return std::move(type).error();
  PyObject* object = (*type)->tp_alloc(*type, 0);
  if (object == nullptr) {
    PyErr_Clear();
    return PyError(make_error(ErrorKind::internal_fault, "Failed to create slice container"));
  }
  auto* container = reinterpret_cast<SliceContainer*>(object);
  container->data = data;
  container->length = static_cast<Py_ssize_t>(length);
  container->capacity = static_cast<Py_ssize_t>(length);
  container->release = release;
  return PyRef::steal(object);
}

}  // namespace quarnel::binding
