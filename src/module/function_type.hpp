// The module's own function type. A builtin function object cannot carry
// __defaults__ or a code object, so introspection (inspect.signature, help)
// would not see fit_zscan's parameters; this type looks like a Python
// function to those tools while its calls go straight to C++ by vectorcall.
#pragma once

#include <span>

#include "module/py_handle.hpp"

namespace tarnok::module {

struct FunctionDescription {
  const char* name;                         // __name__ and __qualname__
  const char* doc;                          // __doc__
  const char* module_name;                  // __module__
  vectorcallfunc call;                      // receives the function object first
  std::span<const char* const> parameters;  // all positional-or-keyword
  PyObject* defaults;                       // tuple for the last parameters (borrowed)
  PyObject* globals;                        // the module namespace (borrowed)
};

// Creates the type once per process; -1 with an exception set on failure.
int ensure_function_type() noexcept;

// A new function object of that type, or nullptr with an exception set.
PyObject* new_function(const FunctionDescription& description) noexcept;

// The namespace a function object of that type was made for (borrowed).
PyObject* function_globals(PyObject* function) noexcept;

// Adds a traceback entry naming `function` at `line` of `file` to the
// exception being raised, as the interpreter does for a Python frame.
void add_traceback_entry(const char* function, const char* file, int line,
                         PyObject* globals) noexcept;

}  // namespace tarnok::module
