// Binding two int parameters by position or keyword, with the interpreter's diagnostics.
#ifndef ZELK_EXT_BINDING_H
#define ZELK_EXT_BINDING_H

#include <Python.h>

#include "ext_compat.h"
#include "ext_hints.h"
#include "ext_int_conversion.h"
#include "ext_ref.h"

// A parameter-name array: pointers to the slots that hold the interned names, in parameter
// order and ended by null. The slots are read at each call, since they are filled at import.
using Ext_ArgNames = PyObject** const;

static inline EXT_COLD void Ext_RaiseArgtupleInvalid(const char* func_name, bool exact,
                                                     Py_ssize_t num_min, Py_ssize_t num_max,
                                                     Py_ssize_t num_found) {
  const Py_ssize_t num_expected = num_found < num_min ? num_min : num_max;
  const char* more_or_less = exact ? "exactly" : (num_found < num_min ? "at least" : "at most");
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               func_name, more_or_less, num_expected, num_expected == 1 ? "" : "s", num_found);
}

static inline EXT_COLD void Ext_RaiseDoubleKeywordsError(const char* func_name, PyObject* kw_name) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_name,
               kw_name);
}

// 1 when the string key spells the parameter name, 0 when not, -1 when the comparison failed.
static inline int ext_keyword_names(PyObject* name, PyObject* key) {
  if (name == key) return 1;
  if (ext::compat::unicode_length(name) != ext::compat::unicode_length(key)) return 0;
  const int order = PyUnicode_Compare(name, key);
  if (order < 0 && PyErr_Occurred()) return -1;
  return order == 0;
}

// Binds the keywords of `kwds` to the parameters after the first `num_pos_args`, storing each
// value (borrowed) at its parameter's index in `values`. Any keyword that binds nothing is an
// error, reported for the first such entry in the dictionary's order. Runs no interpreter code.
static inline EXT_COLD int Ext_ParseOptionalKeywords(PyObject* kwds, Ext_ArgNames argnames[],
                                                     PyObject* values[], Py_ssize_t num_pos_args,
                                                     const char* function_name) {
  Ext_ArgNames* first_open = argnames;
  for (Py_ssize_t i = 0; i < num_pos_args && *first_open; ++i) ++first_open;

  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwds, &position, &key, &value)) {
    Ext_ArgNames* name = first_open;
    while (*name && **name != key) ++name;
    if (*name) {
      values[name - argnames] = value;
      continue;
    }
    if (EXT_UNLIKELY(!PyUnicode_Check(key))) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
      return -1;
    }
    for (name = first_open; *name; ++name) {
      const int same = ext_keyword_names(**name, key);
      if (same < 0) return -1;
      if (same) break;
    }
    if (*name) {
      values[name - argnames] = value;
      continue;
    }
    for (name = argnames; name != first_open; ++name) {
      const int same = ext_keyword_names(**name, key);
      if (same < 0) return -1;
      if (same) {
        Ext_RaiseDoubleKeywordsError(function_name, key);
        return -1;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name,
                 key);
    return -1;
  }
  return 0;
}

namespace ext {

// Which step of binding a pair of int arguments failed; each is its own error site.
enum class ArgFailure : int {
  none,
  wrong_count,     // a count other than two, or the first parameter missing
  missing_second,  // the second parameter was not given by keyword
  bad_keyword,     // the keywords were not a dict, or the keyword matcher refused an entry
  convert_first,
  convert_second,
};

// Small enough to come back in registers.
struct BoundInts {
  int first;
  int second;
  ArgFailure failure;
};

// Converts the first argument completely before the second is looked at.
static inline BoundInts convert_int_pair(PyObject* first, PyObject* second) {
  BoundInts bound{Ext_PyInt_As_int(first), 0, ArgFailure::none};
  if (EXT_UNLIKELY(bound.first == -1 && PyErr_Occurred())) {
    bound.failure = ArgFailure::convert_first;
    return bound;
  }
  bound.second = Ext_PyInt_As_int(second);
  if (EXT_UNLIKELY(bound.second == -1 && PyErr_Occurred())) {
    bound.failure = ArgFailure::convert_second;
  }
  return bound;
}

static inline EXT_COLD BoundInts fail_binding(ArgFailure failure) {
  return BoundInts{0, 0, failure};
}

static inline EXT_COLD BoundInts fail_count(const char* func_name, Py_ssize_t num_found,
                                            ArgFailure failure) {
  Ext_RaiseArgtupleInvalid(func_name, true, 2, 2, num_found);
  return fail_binding(failure);
}

static inline EXT_COLD BoundInts fail_keywords_not_dict(const char* func_name, PyObject* kwds) {
  Ref held_name;
  const char* type_name = compat::type_name(Py_TYPE(kwds), &held_name);
  if (type_name) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be a dict, not %.200s", func_name,
                 type_name);
  }
  return fail_binding(ArgFailure::bad_keyword);
}

// The common calls, bound and converted without a call into the interpreter: two ints by
// position, or the parameters not given by position as keywords spelled with the very string
// objects the module interned (as the names of literal keywords in compiled code are), each
// value an int (not a subclass) of at most one digit. The keyword dictionary is read in place
// (its entries copied out, on the documented side). Any other call returns false having changed
// nothing, and the general binding takes it from the start.
static inline bool bind_small_ints(PyObject* args, PyObject* kwds, Ext_ArgNames argnames[],
                                   BoundInts* bound) {
  const Py_ssize_t pos_args = compat::tuple_size(args);
  PyObject* first;
  PyObject* second;
  if (EXT_LIKELY(!kwds)) {
    if (EXT_UNLIKELY(pos_args != 2)) return false;
    first = compat::tuple_item(args, 0);
    second = compat::tuple_item(args, 1);
  } else {
    if (EXT_UNLIKELY(!compat::is_dict(kwds))) return false;
    compat::DictEntry copy[2];
    Py_ssize_t kw_count = 0;
    const compat::DictEntry* entries = compat::dict_entries(kwds, copy, &kw_count);
    if (EXT_UNLIKELY(!entries)) return false;
    if (pos_args == 0) {
      if (kw_count != 2) return false;
      if (entries[0].key == *argnames[0] && entries[1].key == *argnames[1]) {
        first = entries[0].value;
        second = entries[1].value;
      } else if (entries[0].key == *argnames[1] && entries[1].key == *argnames[0]) {
        first = entries[1].value;
        second = entries[0].value;
      } else {
        return false;
      }
    } else if (pos_args == 1) {
      if (kw_count != 1 || entries[0].key != *argnames[1]) return false;
      first = compat::tuple_item(args, 0);
      second = entries[0].value;
    } else {
      return false;
    }
  }
  // Exact ints: one comparison with the type, where a subclass's would need its flags read.
  return EXT_LIKELY(PyLong_CheckExact(first) && compat::long_small_value(first, &bound->first) &&
                    PyLong_CheckExact(second) && compat::long_small_value(second, &bound->second));
}

// Every call: the general binding of position and keywords with the interpreter's
// diagnostics, and conversion through Ext_PyInt_As_int. Values found in the keyword dictionary
// are held until both conversions are done: the dictionary may be the caller's own, and an
// __int__ run for the first argument may empty it.
static inline EXT_COLD BoundInts bind_int_pair_general(Ext_ArgNames argnames[], PyObject* args,
                                                       PyObject* kwds, const char* func_name) {
  const Py_ssize_t pos_args = compat::tuple_size(args);
  if (!kwds) {
    if (pos_args != 2) return fail_count(func_name, pos_args, ArgFailure::wrong_count);
    return convert_int_pair(compat::tuple_item(args, 0), compat::tuple_item(args, 1));
  }
  // Only a call made through the C API can pass anything else, and nothing here may read it as
  // a dictionary.
  if (EXT_UNLIKELY(!compat::is_dict(kwds))) return fail_keywords_not_dict(func_name, kwds);
  PyObject* values[2] = {nullptr, nullptr};
  Ref held[2];
  Py_ssize_t kw_args = 0;
  switch (pos_args) {
    case 2:
      values[1] = compat::tuple_item(args, 1);
      [[fallthrough]];
    case 1:
      values[0] = compat::tuple_item(args, 0);
      kw_args = PyDict_Size(kwds);
      break;
    case 0:
      kw_args = PyDict_Size(kwds);
      values[0] = compat::dict_get_by_cached_hash(kwds, *argnames[0]);
      if (!values[0]) return fail_count(func_name, pos_args, ArgFailure::wrong_count);
      held[0] = Ref::borrow(values[0]);
      --kw_args;
      break;
    default:
      return fail_count(func_name, pos_args, ArgFailure::wrong_count);
  }
  if (pos_args < 2) {
    values[1] = compat::dict_get_by_cached_hash(kwds, *argnames[1]);
    if (!values[1]) return fail_count(func_name, 1, ArgFailure::missing_second);
    held[1] = Ref::borrow(values[1]);
    --kw_args;
  }
  if (kw_args > 0) {
    if (Ext_ParseOptionalKeywords(kwds, argnames, values, pos_args, func_name) < 0) {
      return fail_binding(ArgFailure::bad_keyword);
    }
    // The matcher stores what the dictionary holds now, which a lookup above may have changed.
    for (Py_ssize_t i = pos_args; i < 2; ++i) {
      if (values[i] != held[i].get()) held[i] = Ref::borrow(values[i]);
    }
  }
  return convert_int_pair(values[0], values[1]);
}

// Binds and converts the two parameters named by `argnames` from a call's argument tuple and
// keyword dictionary (null without keywords). On failure the exception is pending and the
// result says which step failed.
static inline BoundInts bind_int_pair(PyObject* args, PyObject* kwds, Ext_ArgNames argnames[],
                                      const char* func_name) {
  BoundInts bound{0, 0, ArgFailure::none};
  if (EXT_LIKELY(bind_small_ints(args, kwds, argnames, &bound))) return bound;
  return bind_int_pair_general(argnames, args, kwds, func_name);
}

}  // namespace ext

#endif  // ZELK_EXT_BINDING_H
