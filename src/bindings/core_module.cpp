// tarnok._core: the compiled engines and fit under the tarnok package. The
// Python layer validates every argument; this module only converts and calls.
#include <nanobind/nanobind.h>

#include "bindings/engine_bindings.hpp"
#include "bindings/fit_bindings.hpp"

NB_MODULE(_core, m) {
  m.doc() = "Compiled core of the tarnok package (engines and fit).";
  tarnok::bindings::bind_engines(m);
  tarnok::bindings::bind_fit(m);
  // An evaluation that Ctrl-C abandoned may still hold its engine when the
  // interpreter exits; that instance is alive on purpose, not leaked, so the
  // Python layer turns the shutdown report off for that case only.
  m.def("silence_leak_warnings", [] { nanobind::set_leak_warnings(false); });
}
