// The module tarnok_wrapper, initialised in two phases. In Python terms:
//
//   create(module_spec): refuse a second interpreter; return the module made
//                 before, if any, else a new module named by module_spec
//   exec(module): record it; warn on a Python other than 3.12; check that
//                 NumPy's types have the layout this build expects; import
//                 numpy (as np) and its native API; bind fit_zscan and
//                 __test__ = {}
//
// The module is made once per process and never unloaded: a second import
// gets the same object back and runs nothing again.
#define TARNOK_NUMPY_API_OWNER
#include "module/numpy_api.hpp"

#define NO_IMPORT_UFUNC
#include <numpy/ufuncobject.h>

#include <cstdint>

#include "module/fit_zscan.hpp"
#include "module/function_type.hpp"

namespace tarnok::module {

namespace {

constexpr const char* module_name = "tarnok_wrapper";
constexpr int built_major = 3;
constexpr int built_minor = 12;

// Process-wide: the interpreter that first created the module, and the
// module object itself once exec has started (a strong reference).
std::int64_t first_interpreter_id = -1;
PyObject* recorded_module = nullptr;

int check_single_interpreter() noexcept {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return -1;
  if (first_interpreter_id == -1) {
    first_interpreter_id = current;
  } else if (first_interpreter_id != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
  }
  return 0;
}

// Copies spec.<from> to the namespace as <to>; a missing attribute is skipped.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                        bool allow_none) noexcept {
  PyHandle value = steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!allow_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  if (check_single_interpreter() < 0) return nullptr;
  if (recorded_module != nullptr) return Py_NewRef(recorded_module);
  PyHandle name = steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  PyHandle module = steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (dict == nullptr || copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
      copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
      copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
      copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0)
    return nullptr;
  return module.release();
}

int warn_on_other_python() noexcept {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == built_major && minor == built_minor) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                built_major, built_minor, module_name, "does not match", major, minor);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// A type this build reads objects of must be a type, and at least as large as
// the structure the headers describe; a larger builtin `type` only warns.
enum class SizeRule { at_least, warn_if_larger };

struct ExpectedType {
  const char* module;
  const char* name;
  std::size_t size;  // 0: only looked up
  SizeRule rule;
};

int check_type(PyObject* module, const ExpectedType& expected) noexcept {
  PyHandle found = steal(PyObject_GetAttrString(module, expected.name));
  if (!found) return -1;
  if (!PyType_Check(found.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", expected.module,
                 expected.name);
    return -1;
  }
  if (expected.size == 0) return 0;
  const auto* type = reinterpret_cast<PyTypeObject*>(found.get());
  const auto actual = static_cast<std::size_t>(type->tp_basicsize + type->tp_itemsize);
  if (actual < expected.size) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                 "from C header, got %zd from PyObject",
                 expected.module, expected.name, static_cast<Py_ssize_t>(expected.size),
                 static_cast<Py_ssize_t>(actual));
    return -1;
  }
  const auto basic = static_cast<std::size_t>(type->tp_basicsize);
  if (expected.rule == SizeRule::warn_if_larger && basic > expected.size) {
    char message[400];
    PyOS_snprintf(message, sizeof message,
                  "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C "
                  "header, got %zd from PyObject",
                  expected.module, expected.name, static_cast<Py_ssize_t>(expected.size),
                  static_cast<Py_ssize_t>(basic));
    if (PyErr_WarnEx(nullptr, message, 0) < 0) return -1;
  }
  return 0;
}

int check_types() noexcept {
  PyHandle builtins = steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  if (check_type(builtins.get(), {"builtins", "type", sizeof(PyHeapTypeObject),
                                  SizeRule::warn_if_larger}) < 0)
    return -1;
  PyHandle numpy = steal(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  const ExpectedType numpy_types[] = {
      {"numpy", "dtype", sizeof(PyArray_Descr), SizeRule::at_least},
      {"numpy", "flatiter", sizeof(PyArrayIterObject), SizeRule::at_least},
      {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), SizeRule::at_least},
      {"numpy", "ndarray", sizeof(PyArrayObject), SizeRule::at_least},
      {"numpy", "generic", 0, SizeRule::at_least},
      {"numpy", "number", 0, SizeRule::at_least},
      {"numpy", "integer", 0, SizeRule::at_least},
      {"numpy", "signedinteger", 0, SizeRule::at_least},
      {"numpy", "unsignedinteger", 0, SizeRule::at_least},
      {"numpy", "inexact", 0, SizeRule::at_least},
      {"numpy", "floating", 0, SizeRule::at_least},
      {"numpy", "complexfloating", 0, SizeRule::at_least},
      {"numpy", "flexible", 0, SizeRule::at_least},
      {"numpy", "character", 0, SizeRule::at_least},
      {"numpy", "ufunc", sizeof(PyUFuncObject), SizeRule::at_least},
  };
  for (const ExpectedType& expected : numpy_types)
    if (check_type(numpy.get(), expected) < 0) return -1;
  return 0;
}

// NumPy's own import routine fills the API table and checks ABI version,
// feature level and byte order; any failure of the Exception family becomes
// the one ImportError callers know, with the cause as its context.
int import_numpy_api() noexcept {
  if (_import_array() == 0) return 0;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
  PyObject* replacement = PyErr_GetRaisedException();
  PyException_SetContext(replacement, cause);  // steals cause
  PyErr_SetRaisedException(replacement);
  return -1;
}

int bind_namespace(PyObject* module, PyObject* dict) noexcept {
  PyHandle numpy = steal(PyImport_ImportModule("numpy"));
  if (!numpy || PyDict_SetItemString(dict, "np", numpy.get()) < 0) return -1;
  if (import_numpy_api() < 0) return -1;
  PyHandle function = steal(new_fit_zscan(dict));
  if (!function || PyModule_AddObjectRef(module, "fit_zscan", function.get()) < 0) return -1;
  PyHandle test = steal(PyDict_New());
  if (!test) return -1;
  return PyDict_SetItemString(dict, "__test__", test.get());
}

// Exec steps after the module is recorded; any failure unrecords it.
int fill_module(PyObject* module) noexcept {
  PyObject* dict = PyModule_GetDict(module);
  if (dict == nullptr) return -1;
  PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
  if (builtins == nullptr || PyObject_SetAttrString(module, "__builtins__", builtins) < 0)
    return -1;
  if (warn_on_other_python() < 0) return -1;
  if (init_fit_zscan_names() < 0 || ensure_function_type() < 0) return -1;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* listed = PyDict_GetItemString(modules, module_name);
  if (listed == nullptr && PyDict_SetItemString(modules, module_name, module) < 0) return -1;
  if (check_types() < 0) return -1;
  return bind_namespace(module, dict);
}

int module_exec(PyObject* module) {
  if (recorded_module != nullptr) {
    if (recorded_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'tarnok_wrapper' has already been imported. Re-initialisation is "
                    "not supported.");
    return -1;
  }
  recorded_module = Py_NewRef(module);
  if (fill_module(module) == 0) return 0;
  if (PyErr_Occurred()) {
    add_traceback_entry("init tarnok_wrapper", "tarnok_wrapper.cpp", __LINE__,
                        PyModule_GetDict(module));
  } else {
    PyErr_SetString(PyExc_ImportError, "init tarnok_wrapper");
  }
  Py_CLEAR(recorded_module);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    module_name,
    nullptr,  // no module docstring
    0,        // no per-module state
    no_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarnok::module

PyMODINIT_FUNC PyInit_tarnok_wrapper() {
  return PyModuleDef_Init(&tarnok::module::module_definition);
}
