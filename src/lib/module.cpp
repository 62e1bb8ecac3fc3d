// The _quarnel extension module: multi-phase initialisation whose exec slot
// adds the functions, __all__ and the _checked, _pickers and _scoring
// namespaces (the last with its PreparedRows type).
// The module keeps no state.

#include <Python.h>

#include <span>

#include "binding/py_ref.hpp"
#include "lib/entry_points.hpp"
#include "store/prepared_database.hpp"

namespace quarnel::lib {
namespace {

using binding::PyRef;

// The module's __all__, created if it does not exist yet.
PyObject* all_list(PyObject* module) {
  PyObject* names = PyObject_GetAttrString(module, "__all__");
  if (names != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return names;
  PyErr_Clear();
  names = PyList_New(0);
  if (names != nullptr && PyObject_SetAttrString(module, "__all__", names) < 0) Py_CLEAR(names);
  return names;
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  PyRef function = PyRef::steal(PyCMethod_New(definition, module, module_name, nullptr));
  if (!function) return -1;
  PyRef names = PyRef::steal(all_list(module));
  if (!names) return -1;
  PyRef name = PyRef::steal(PyUnicode_FromString(definition->ml_name));
  if (!name || PyList_Append(names.get(), name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), function.get());
}

int add_functions(PyObject* module, std::span<PyMethodDef> table) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& definition : table) {
    if (add_function(module, module_name.get(), &definition) < 0) return -1;
  }
  return 0;
}

// The _checked namespace: a plain module object kept as an attribute, not
// an importable submodule.
int add_checked_namespace(PyObject* module) {
  PyRef checked = PyRef::steal(PyModule_New("_quarnel._checked"));
  if (!checked || add_functions(checked.get(), checked_function_table()) < 0) return -1;
  return PyObject_SetAttrString(module, "_checked", checked.get());
}

// The _pickers and _scoring namespaces, built the same way.
int add_namespace(PyObject* module, const char* qualified_name, const char* attribute,
                  std::span<PyMethodDef> table) {
  PyRef names = PyRef::steal(PyModule_New(qualified_name));
  if (!names || add_functions(names.get(), table) < 0) return -1;
  return PyObject_SetAttrString(module, attribute, names.get());
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_quarnel can only be initialised into a module object");
    return -1;
  }
  if (add_functions(module, function_table()) < 0) return -1;
  if (add_checked_namespace(module) < 0) return -1;
  if (add_namespace(module, "_quarnel._pickers", "_pickers", picker_function_table()) < 0) return -1;
  if (add_namespace(module, "_quarnel._scoring", "_scoring", scoring_function_table()) < 0) return -1;
  PyRef scoring = PyRef::steal(PyObject_GetAttrString(module, "_scoring"));
  return scoring ? store::add_prepared_type(scoring.get()) : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_quarnel",
    "",  // so that __doc__ is "", not None
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarnel::lib

PyMODINIT_FUNC PyInit__quarnel() { return PyModuleDef_Init(&quarnel::lib::module_definition); }
