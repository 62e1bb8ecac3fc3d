#include "binding/py_error.hpp"

#include <cerrno>
#include <string>

namespace quarnel::binding {
namespace {

PyObject* os_error_type(int errnum) {
  switch (errnum) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case EINTR: return PyExc_InterruptedError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ENOMEM: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

PyObject* exception_type(const Error& error) {
  switch (error.kind) {
    case ErrorKind::type_error: return PyExc_TypeError;
    case ErrorKind::value_error: return PyExc_ValueError;
    case ErrorKind::overflow_error: return PyExc_OverflowError;
    case ErrorKind::runtime_error: return PyExc_RuntimeError;
    case ErrorKind::memory_error: return PyExc_MemoryError;
    case ErrorKind::not_implemented_error: return PyExc_NotImplementedError;
    case ErrorKind::os_error: return os_error_type(error.os_errno);
    case ErrorKind::internal_fault: return internal_fault_type();
    // Normally the handler's own exception is raised instead; this is what
    // a stop without one looks like.
    case ErrorKind::interrupted: return PyExc_KeyboardInterrupt;
  }
  return internal_fault_type();
}

// The exception object of a lazy error, created with the message as its
// only argument; null with the creation's own error pending on failure.
PyObject* make_exception(const Error& error) {
  PyObject* type = exception_type(error);
  if (type == nullptr) return nullptr;
  PyRef message = PyRef::steal(
      PyUnicode_FromStringAndSize(error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
  if (!message) return nullptr;
  return PyObject_CallOneArg(type, message.get());
}

void set_raised(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.get();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, exception.release(), PyException_GetTraceback(value));
#endif
}

}  // namespace

PyError PyError::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyError(PyRef::steal(PyErr_GetRaisedException()));
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyError(PyRef::steal(value));
#endif
}

void PyError::raise() && {
  if (auto* exception = std::get_if<PyRef>(&state_)) {
    set_raised(std::move(*exception));
    return;
  }
  PyObject* made = make_exception(std::get<Error>(state_));
  if (made != nullptr) set_raised(PyRef::steal(made));
  // Otherwise the failure to build the exception is what stays pending.
}

PyError PyError::with_argument_prefix(const char* parameter) && {
  const std::string prefix = std::string("argument '") + parameter + "': ";
  if (auto* error = std::get_if<Error>(&state_)) {
    if (error->kind == ErrorKind::type_error) error->message = prefix + error->message;
    return std::move(*this);
  }
  PyObject* original = std::get<PyRef>(state_).get();
  if (original == nullptr || Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return std::move(*this);
  }
  PyRef text = PyRef::steal(PyObject_Str(original));
  if (!text) return fetch();
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
  if (!message) return fetch();
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return fetch();
  if (PyObject* cause = PyException_GetCause(original)) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  return PyError(std::move(replacement));
}

PyObject* internal_fault_type() {
  // Made once and kept for the life of the process, like the module's other
  // process-wide values; it is not exported as a module attribute.
  static PyObject* const type = [] {
    PyObject* made = PyErr_NewException("_quarnel.InternalFault", PyExc_BaseException, nullptr);
    if (made != nullptr) return made;
    PyErr_Clear();
    return Py_NewRef(PyExc_BaseException);
  }();
  return type;
}

}  // namespace quarnel::binding
