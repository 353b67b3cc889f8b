// Binding of the engines and of the array conversions the other bindings share.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/experiment.hpp"

namespace tarnok::bindings {

// The binding states the arrays it takes, so dtype and shape errors are
// raised by the binding itself with a clear message.
using PositionArray = nanobind::ndarray<const double, nanobind::ndim<2>, nanobind::c_contig,
                                        nanobind::device::cpu>;
using VectorArray = nanobind::ndarray<const double, nanobind::ndim<1>, nanobind::c_contig,
                                      nanobind::device::cpu>;

// A new NumPy array that owns `values`.
nanobind::object to_numpy(std::vector<double>&& values, std::initializer_list<std::size_t> shape);

void bind_engines(nanobind::module_& m);

}  // namespace tarnok::bindings
