// NumPy's native API for every file of the module. The API table is one
// hidden symbol shared by all of them; it is filled once, at import, by the
// one file that defines TARNOK_NUMPY_API_OWNER (tarnok_wrapper.cpp).
#pragma once

#include "module/py_handle.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tarnok_numpy_api
#ifndef TARNOK_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
