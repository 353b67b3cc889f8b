// Argument conversion for fit_zscan. Arrays are asked for as writable,
// C-contiguous buffers with a format, then checked for one dimension, an
// element type that matches in kind and size, and unit stride. Scalars go
// through the interpreter's own integer, float and truth conversions.
#include "module/conversions.hpp"

#include <cctype>
#include <climits>
#include <cstddef>

namespace tarnok::module {

namespace {

// What an array parameter's elements must be. The kind letter groups format
// characters that share a representation: R real, C complex, I signed
// integer, U unsigned integer, H plain char, O object, P pointer.
struct Element {
  const char* name;
  char kind;
  std::size_t size;
};

constexpr Element double_element{"double", 'R', sizeof(double)};
constexpr Element int_element{"int", 'I', sizeof(std::int32_t)};

bool is_element_char(char c) noexcept {
  switch (c) {
    case '?': case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I':
    case 'l': case 'L': case 'q': case 'Q': case 'f': case 'd': case 'g':
    case 'O': case 'P': case 's': case 'p':
      return true;
    default:
      return false;
  }
}

char kind_of(char c, bool complex) noexcept {
  switch (c) {
    case 'c': return 'H';
    case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
    case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
    case 'f': case 'd': case 'g': return complex ? 'C' : 'R';
    case 'O': return 'O';
    default: return 'P';
  }
}

// Sizes when the format uses native alignment ('@', '^', no prefix).
std::size_t native_size(char c, bool complex) noexcept {
  const std::size_t parts = complex ? 2 : 1;
  switch (c) {
    case 'h': case 'H': return sizeof(short);
    case 'i': case 'I': return sizeof(int);
    case 'l': case 'L': return sizeof(long);
    case 'q': case 'Q': return sizeof(long long);
    case 'f': return parts * sizeof(float);
    case 'd': return parts * sizeof(double);
    case 'g': return parts * sizeof(long double);
    case 'O': case 'P': return sizeof(void*);
    default: return 1;
  }
}

// Sizes of the struct module's standard layout ('<', '=').
std::size_t standard_size(char c, bool complex) noexcept {
  const std::size_t parts = complex ? 2 : 1;
  switch (c) {
    case 'h': case 'H': return 2;
    case 'i': case 'I': case 'l': case 'L': return 4;
    case 'q': case 'Q': return 8;
    case 'f': return parts * 4;
    case 'd': return parts * 8;
    case 'g': return 0;  // no standard size: never matches
    case 'O': case 'P': return sizeof(void*);
    default: return 1;
  }
}

const char* describe(char c, bool complex) noexcept {
  switch (c) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return complex ? "'complex float'" : "'float'";
    case 'd': return complex ? "'complex double'" : "'double'";
    case 'g': return complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    case '\0': return "end of string";
    default: return "unparsable format string";
  }
}

int raise_mismatch(const Element& expected, char got, bool complex) noexcept {
  PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
               expected.name, "'", describe(got, complex));
  return -1;
}

int raise_trailing(char got) noexcept {
  PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
               "end", "", describe(got, false));
  return -1;
}

const char* skip_spaces(const char* p) noexcept {
  while (*p == ' ' || *p == '\n' || *p == '\r') ++p;
  return p;
}

// Reads the one element a 1-D buffer of scalars may describe: byte-order
// prefixes, an optional repeat count, an optional complex marker and the type
// letter. Anything after it (a second element, a struct) is refused.
int check_format(const char* format, const Element& expected) noexcept {
  const char* p = format != nullptr ? format : "B";
  char pack = '@';
  bool complex = false;
  long count = 1;
  for (;;) {
    p = skip_spaces(p);
    const char c = *p;
    if (c == '<' || c == '=') {
      pack = '=';  // little-endian standard layout on this little-endian build
      ++p;
    } else if (c == '@' || c == '^') {
      pack = c;
      ++p;
    } else if (c == '>' || c == '!') {
      PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
      return -1;
    } else if (c == 'Z') {
      ++p;
      if (*p != 'f' && *p != 'd' && *p != 'g') {
        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", 'Z');
        return -1;
      }
      complex = true;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      count = 0;
      while (std::isdigit(static_cast<unsigned char>(*p)) && count < INT_MAX / 10)
        count = count * 10 + (*p++ - '0');
    } else if (c == 'T' || c == '\0') {
      return raise_mismatch(expected, c, false);
    } else if (is_element_char(c)) {
      break;
    } else {
      // As unsigned: a byte above 0x7f must not turn into a negative code point.
      PyErr_Format(PyExc_ValueError,
                   "Does not understand character buffer dtype format string ('%c')",
                   static_cast<int>(static_cast<unsigned char>(c)));
      return -1;
    }
  }
  const char c = *p;
  const std::size_t size = pack == '=' ? standard_size(c, complex) : native_size(c, complex);
  if (kind_of(c, complex) != expected.kind || size != expected.size)
    return raise_mismatch(expected, c, complex);
  if (count == 0) return raise_mismatch(expected, '\0', false);
  if (count > 1) return raise_trailing(c);
  p = skip_spaces(p + 1);
  if (*p == ':') {  // a field name, as in "d:value:"
    do ++p; while (*p != '\0' && *p != ':');
    if (*p == ':') ++p;
    p = skip_spaces(p);
  }
  if (*p != '\0') return raise_trailing(is_element_char(*p) ? *p : 'T');
  return 0;
}

int check_shape(const Py_buffer& view, const Element& expected) noexcept {
  if (view.ndim != 1) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                 1, view.ndim);
    return -1;
  }
  if (check_format(view.format, expected) < 0) return -1;
  if (static_cast<std::size_t>(view.itemsize) != expected.size) {
    const auto itemsize = static_cast<std::size_t>(view.itemsize);
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 itemsize, itemsize > 1 ? "s" : "", expected.name, expected.size,
                 expected.size > 1 ? "s" : "");
    return -1;
  }
  // An exporter that ignored the contiguity request must not slip through:
  // the core reads the elements as one plain vector.
  if (view.len > 0 && view.strides != nullptr && view.shape[0] > 1 &&
      view.strides[0] != view.itemsize) {
    PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
    return -1;
  }
  return 0;
}

}  // namespace

int convert_array(PyObject* object, ElementType type, ArrayArgument& out) noexcept {
  out.buffer_.reset();
  out.is_none_ = object == Py_None;
  if (out.is_none_) return 0;
  const int flags = PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
  if (out.buffer_.acquire(object, flags) < 0) return -1;
  const Element& expected = type == ElementType::float64 ? double_element : int_element;
  if (check_shape(out.buffer_.view(), expected) < 0) {
    out.buffer_.reset();
    return -1;
  }
  return 0;
}

int convert_int32(PyObject* object, std::int32_t& out) noexcept {
  PyHandle integer;
  if (PyLong_Check(object)) {
    integer = new_ref(object);
  } else {
    // Anything with an int conversion: floats truncate toward zero.
    const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return -1;
    }
    integer = steal(number->nb_int(object));
    if (!integer) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
      return -1;
    }
    if (!PyLong_Check(integer.get())) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                   Py_TYPE(integer.get())->tp_name);
      return -1;
    }
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return -1;
  }
  out = static_cast<std::int32_t>(value);
  return 0;
}

int convert_double(PyObject* object, double& out) noexcept {
  out = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
  return out == -1.0 && PyErr_Occurred() ? -1 : 0;
}

int convert_truth(PyObject* object, bool& out) noexcept {
  if (object == Py_True || object == Py_False || object == Py_None) {
    out = object == Py_True;
    return 0;
  }
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return -1;
  out = truth != 0;
  return 0;
}

}  // namespace tarnok::module
