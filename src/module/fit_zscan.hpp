// fit_zscan, the module's one public function: binds its seventeen
// arguments, converts and validates them, and hands them to the multi-start
// fit. The function object is made once, at import.
#pragma once

#include "module/py_handle.hpp"

namespace tarnok::module {

// Interns the parameter names once per process; -1 with an exception set.
int init_fit_zscan_names() noexcept;

// The function object fit_zscan for the module namespace `globals`, with the
// defaults (False, 3); nullptr with an exception set on failure.
PyObject* new_fit_zscan(PyObject* globals) noexcept;

}  // namespace tarnok::module
