// Conversion between interpreter ints (or objects with __int__) and 32-bit C ints.
#ifndef ZELK_EXT_INT_CONVERSION_H
#define ZELK_EXT_INT_CONVERSION_H

#include <Python.h>

#include <climits>
#include <cstdint>

#include "ext_compat.h"
#include "ext_hints.h"
#include "ext_ref.h"

// Digits of 30 bits, or of 15 (CPython before 3.11 on 32-bit machines): one fits an int, and
// two fit a signed 64-bit value.
static_assert(PyLong_SHIFT <= 31, "a digit fits an int and two digits fit 63 bits");

static inline int Ext_PyInt_As_int(PyObject* x);

static inline EXT_COLD int ext_raise_int_overflow() {
  PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
  return -1;
}

// Takes over `result`, which __<type_name>__ returned and which is not exactly an int.
static inline EXT_COLD PyObject* Ext_PyNumber_IntOrLongWrongResultType(PyObject* result,
                                                                       const char* type_name) {
  ext::Ref owned = ext::Ref::steal(result);
  ext::Ref held_name;
  const char* result_type = ext::compat::type_name(Py_TYPE(result), &held_name);
  if (!result_type) return nullptr;
  if (PyLong_Check(result)) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  "
                         "The ability to return an instance of a strict subclass of int "
                         "is deprecated, and may be removed in a future version of Python.",
                         result_type) < 0) {
      return nullptr;
    }
    return owned.release();
  }
  PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", type_name, type_name,
               result_type);
  return nullptr;
}

// A new int (or int subclass) from the __int__ of `x`, which is not an int itself.
static inline EXT_COLD PyObject* Ext_PyNumber_IntOrLong(PyObject* x) {
  PyObject* result = ext::compat::call_int_method(x);
  if (!result) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  if (Py_TYPE(result) == &PyLong_Type) return result;
  return Ext_PyNumber_IntOrLongWrongResultType(result, "int");
}

// Ints of more than two digits, read in 64 bits on every machine. Beyond 64 bits the
// interpreter's own error stands, in its words for a C long: a C long is no wider.
static inline EXT_COLD int ext_int_from_long(PyObject* x) {
  std::int64_t value;
  if (!ext::compat::long_value_64(x, &value)) {
    if (PyLong_AsLong(x) == -1 && PyErr_Occurred()) return -1;
    return ext_raise_int_overflow();
  }
  if (value >= INT_MIN && value <= INT_MAX) return static_cast<int>(value);
  return ext_raise_int_overflow();
}

static inline EXT_COLD int ext_int_from_number(PyObject* x) {
  ext::Ref as_int = ext::Ref::steal(Ext_PyNumber_IntOrLong(x));
  if (!as_int) return -1;
  return Ext_PyInt_As_int(as_int.get());
}

// -1 with an exception pending is a failure; -1 with none pending is the value -1.
static inline int Ext_PyInt_As_int(PyObject* x) {
  if (EXT_UNLIKELY(!PyLong_Check(x))) return ext_int_from_number(x);
  switch (ext::compat::long_signed_digit_count(x)) {
    case 0:
      return 0;
    case 1:
      return static_cast<int>(ext::compat::long_digit(x, 0));
    case -1:
      return -static_cast<int>(ext::compat::long_digit(x, 0));
    case 2: {
      const std::uint64_t magnitude =
          ext::compat::long_digit(x, 1) << PyLong_SHIFT | ext::compat::long_digit(x, 0);
      if (EXT_LIKELY(magnitude <= static_cast<std::uint64_t>(INT_MAX))) {
        return static_cast<int>(magnitude);
      }
      return ext_raise_int_overflow();
    }
    case -2: {
      const std::int64_t value = -static_cast<std::int64_t>(
          ext::compat::long_digit(x, 1) << PyLong_SHIFT | ext::compat::long_digit(x, 0));
      if (EXT_LIKELY(value >= INT_MIN)) return static_cast<int>(value);
      return ext_raise_int_overflow();
    }
    default:
      return ext_int_from_long(x);
  }
}

static inline PyObject* Ext_PyInt_From_int(int value) {
  return PyLong_FromLong(static_cast<long>(value));
}

#endif  // ZELK_EXT_INT_CONVERSION_H
