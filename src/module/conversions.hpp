// Conversion of one fit_zscan argument to a machine value: 1-D buffers of
// doubles or 32-bit integers (held, never copied), 32-bit integers, doubles
// and truth values. Each converter returns -1 with a Python exception set
// when the argument is refused.
#pragma once

#include <cstdint>
#include <span>

#include "module/py_handle.hpp"

namespace tarnok::module {

enum class ElementType { float64, int32 };

// A converted array parameter: either None (refused later, once every
// argument has been converted) or a held, validated 1-D contiguous buffer.
class ArrayArgument {
 public:
  bool is_none() const noexcept { return is_none_; }
  Py_ssize_t size() const noexcept { return buffer_.held() ? buffer_.view().shape[0] : 0; }

  std::span<const double> doubles() const noexcept {
    return {static_cast<const double*>(data()), static_cast<std::size_t>(size())};
  }
  std::span<const std::int32_t> int32s() const noexcept {
    return {static_cast<const std::int32_t*>(data()), static_cast<std::size_t>(size())};
  }

  friend int convert_array(PyObject* object, ElementType type, ArrayArgument& out) noexcept;

 private:
  const void* data() const noexcept { return buffer_.held() ? buffer_.view().buf : nullptr; }

  HeldBuffer buffer_;
  bool is_none_ = false;
};

int convert_array(PyObject* object, ElementType type, ArrayArgument& out) noexcept;
int convert_int32(PyObject* object, std::int32_t& out) noexcept;
int convert_double(PyObject* object, double& out) noexcept;
int convert_truth(PyObject* object, bool& out) noexcept;

}  // namespace tarnok::module
