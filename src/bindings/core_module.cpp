// tarnok._core: the compiled engines and fit under the tarnok package. The
// Python layer validates every argument; this module only converts and calls.
#include <nanobind/nanobind.h>

#include "bindings/engine_bindings.hpp"
#include "bindings/fit_bindings.hpp"

NB_MODULE(_core, m) {
  m.doc() = "Compiled core of the tarnok package (engines and fit).";
  tarnok::bindings::bind_engines(m);
  tarnok::bindings::bind_fit(m);
}
