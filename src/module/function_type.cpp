// A function object that inspect treats as a Python function: it has
// __name__, __code__ (whose argument names give the signature), __defaults__,
// __kwdefaults__ and __annotations__. Its code object only describes the
// parameters; running it raises AssertionError, as an empty code object does.
#include "module/function_type.hpp"

#include <frameobject.h>

#include <cstddef>

namespace tarnok::module {

namespace {

struct CompiledFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* module;
  PyObject* defaults;
  PyObject* code;
  PyObject* globals;
};

// Process-wide, like the module itself: created once, never freed.
PyTypeObject* function_type = nullptr;

CompiledFunction* as_function(PyObject* self) noexcept {
  return reinterpret_cast<CompiledFunction*>(self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  CompiledFunction* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->defaults);
  Py_VISIT(f->code);
  Py_VISIT(f->globals);
  return 0;
}

int function_clear(PyObject* self) {
  CompiledFunction* f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->module);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->code);
  Py_CLEAR(f->globals);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  function_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<compiled function %U at %p>", as_function(self)->qualname, self);
}

// Stored in a class, the function stays a plain function (no bound self).
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

// Pickled by reference, as module-level Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_empty_dict(PyObject*, void*) { return PyDict_New(); }

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(CompiledFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(CompiledFunction, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(CompiledFunction, doc), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(CompiledFunction, module), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(CompiledFunction, defaults), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(CompiledFunction, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(CompiledFunction, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CompiledFunction, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_empty_dict, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "tarnok_wrapper.compiled_function",
    sizeof(CompiledFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// A code object whose argument names are the parameters: the empty code
// object of the interpreter, with its argument counts and names replaced.
PyObject* parameter_code(const FunctionDescription& d) noexcept {
  const auto count = static_cast<Py_ssize_t>(d.parameters.size());
  PyHandle names = steal(PyTuple_New(count));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyUnicode_InternFromString(d.parameters[static_cast<std::size_t>(i)]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), i, name);
  }
  PyHandle empty = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(d.module_name, d.name, 1)));
  if (!empty) return nullptr;
  PyHandle replace = steal(PyObject_GetAttrString(empty.get(), "replace"));
  PyHandle no_args = steal(PyTuple_New(0));
  PyHandle argcount = steal(PyLong_FromSsize_t(count));
  PyHandle changes = steal(PyDict_New());
  if (!replace || !no_args || !argcount || !changes) return nullptr;
  if (PyDict_SetItemString(changes.get(), "co_argcount", argcount.get()) < 0 ||
      PyDict_SetItemString(changes.get(), "co_nlocals", argcount.get()) < 0 ||
      PyDict_SetItemString(changes.get(), "co_varnames", names.get()) < 0)
    return nullptr;
  return PyObject_Call(replace.get(), no_args.get(), changes.get());
}

}  // namespace

int ensure_function_type() noexcept {
  if (function_type != nullptr) return 0;
  function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
  return function_type != nullptr ? 0 : -1;
}

PyObject* new_function(const FunctionDescription& d) noexcept {
  if (ensure_function_type() < 0) return nullptr;
  PyHandle code = steal(parameter_code(d));
  if (!code) return nullptr;
  PyHandle name = steal(PyUnicode_InternFromString(d.name));
  PyHandle doc = steal(PyUnicode_FromString(d.doc));
  PyHandle module = steal(PyUnicode_InternFromString(d.module_name));
  if (!name || !doc || !module) return nullptr;
  auto* f = PyObject_GC_New(CompiledFunction, function_type);
  if (f == nullptr) return nullptr;
  f->vectorcall = d.call;
  f->qualname = Py_NewRef(name.get());
  f->name = name.release();
  f->doc = doc.release();
  f->module = module.release();
  f->defaults = Py_NewRef(d.defaults);
  f->code = code.release();
  f->globals = Py_NewRef(d.globals);
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

PyObject* function_globals(PyObject* function) noexcept {
  return as_function(function)->globals;
}

void add_traceback_entry(const char* function, const char* file, int line,
                         PyObject* globals) noexcept {
  PyObject* raised = PyErr_GetRaisedException();
  PyHandle code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)));
  PyHandle frame;
  if (code) {
    frame = steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
  }
  // Failing to build the entry must not replace the exception it decorates.
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace tarnok::module
