// Ownership helpers for the extension module: an owning handle for PyObject*,
// a guard that releases the interpreter lock for a scope, and a guard that
// holds an exporter's buffer for a scope. Every raw C-API call they replace
// is named beside it, so a reader can map each guard to its calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace tarnok::module {

struct PyDecref {
  void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// Owns one strong reference (Py_DECREF when it dies); release() hands the
// reference on, for example as a return value to the interpreter.
using PyHandle = std::unique_ptr<PyObject, PyDecref>;

// Takes over a new reference; a null pointer (a failed call) stays null.
inline PyHandle steal(PyObject* object) noexcept { return PyHandle(object); }

// Takes a new reference to a borrowed object.
inline PyHandle new_ref(PyObject* object) noexcept { return PyHandle(Py_NewRef(object)); }

// PyEval_SaveThread / PyEval_RestoreThread for one scope. The lock comes back
// on every exit, an exception's unwinding included, before any PyHandle of an
// outer scope is destroyed.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// PyObject_GetBuffer / PyBuffer_Release: the exporter's view stays valid (and
// the exporter cannot resize it) for as long as the guard lives.
class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  ~HeldBuffer() { reset(); }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  // Returns -1 with the exporter's exception set when it refuses the request.
  int acquire(PyObject* exporter, int flags) noexcept {
    reset();
    if (PyObject_GetBuffer(exporter, &view_, flags) < 0) return -1;
    held_ = true;
    return 0;
  }

  void reset() noexcept {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

  bool held() const noexcept { return held_; }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace tarnok::module
