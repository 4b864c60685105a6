// The interpreter internals this module reads directly, one small function for each. Every place
// where the interpreters differ (CPython from 3.6 to the newest checked, below, and PyPy) is
// decided here and only here: the rest of the module makes the same call on every version. Each
// function also has a side on the documented C API alone (its stable and unstable tiers and its
// documented macros): PyPy's C API emulation exposes none of the internals, and a CPython newer
// than any checked may have moved any of them. That side narrowed to the limited API of 3.6
// (Py_LIMITED_API) makes one binary for every CPython from 3.6 on.
#ifndef ZELK_EXT_COMPAT_H
#define ZELK_EXT_COMPAT_H

#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "ext_hints.h"
#include "ext_ref.h"

#if defined(PYPY_VERSION)
#define EXT_COMPAT_PYPY 1
#else
#define EXT_COMPAT_PYPY 0
#endif

// The stable ABI: built with any CPython's headers from 3.6 on, loaded by any CPython from 3.6 on.
// No choice may follow the headers' version then; what the running interpreter has is learnt from
// it once, by learn_interpreter() at exec.
#if defined(Py_LIMITED_API)
#if Py_LIMITED_API + 0 < 0x03060000
#error "the module needs the limited API of CPython 3.6 at least (Py_LIMITED_API=0x03060000)"
#endif
#define EXT_COMPAT_STABLE_ABI 1
// ZELK_STABLE_ABI_CALLS_ONLY=1 reads every object through calls on every interpreter, as the
// module does on a CPython newer than any checked.
#if !defined(ZELK_STABLE_ABI_CALLS_ONLY)
#define ZELK_STABLE_ABI_CALLS_ONLY 0
#endif
#else
#define EXT_COMPAT_STABLE_ABI 0
#endif

// The newest CPython (3.x) whose headers the internal reads below were compared with. The
// headers of a later one are read through the documented C API alone, whatever the build asks;
// ZELK_PUBLIC_API_ONLY=1 asks for that on any CPython.
#define EXT_COMPAT_NEWEST_CHECKED_MINOR 15

#define EXT_COMPAT_STRINGIFY(text) #text
#define EXT_COMPAT_TEXT(macro) EXT_COMPAT_STRINGIFY(macro)
#if EXT_COMPAT_STABLE_ABI
#if defined(ZELK_PUBLIC_API_ONLY) && !ZELK_PUBLIC_API_ONLY
#error "ZELK_PUBLIC_API_ONLY=0 asks for internal reads, which the limited API has not"
#endif
#undef ZELK_PUBLIC_API_ONLY
#define ZELK_PUBLIC_API_ONLY 1
#if ZELK_STABLE_ABI_CALLS_ONLY
#define EXT_COMPAT_API_NOTE                                                           \
  "uses the limited C API of CPython 3.6: one module for every CPython from 3.6 on, " \
  "reading every object through calls, as ZELK_STABLE_ABI_CALLS_ONLY asks"
#else
#define EXT_COMPAT_API_NOTE                                                              \
  "uses the limited C API of CPython 3.6: one module for every CPython from 3.6 on, "    \
  "reading tuples, ints and dictionaries in place on CPython 3.6 to 3." EXT_COMPAT_TEXT( \
      EXT_COMPAT_NEWEST_CHECKED_MINOR)
#endif
#elif !EXT_COMPAT_PYPY && PY_VERSION_HEX >= (3 << 24 | (EXT_COMPAT_NEWEST_CHECKED_MINOR + 1) << 16)
#if defined(ZELK_PUBLIC_API_ONLY) && !ZELK_PUBLIC_API_ONLY
#error "ZELK_PUBLIC_API_ONLY=0 asks for internal reads never checked on a CPython this new"
#endif
#undef ZELK_PUBLIC_API_ONLY
#define ZELK_PUBLIC_API_ONLY 1
// What the build says of it, in one line.
#define EXT_COMPAT_API_NOTE                             \
  "uses the documented C API only: CPython " PY_VERSION \
  " is newer than 3." EXT_COMPAT_TEXT(EXT_COMPAT_NEWEST_CHECKED_MINOR) ", the newest checked"
#elif !defined(ZELK_PUBLIC_API_ONLY)
#define ZELK_PUBLIC_API_ONLY 0
#elif ZELK_PUBLIC_API_ONLY
#define EXT_COMPAT_API_NOTE "uses the documented C API only, as ZELK_PUBLIC_API_ONLY asks"
#endif
// The side on the documented C API alone: PyPy's, and CPython's when asked or needed.
#define EXT_COMPAT_DOCUMENTED (EXT_COMPAT_PYPY || ZELK_PUBLIC_API_ONLY)

// 3.11 made the frame opaque and code objects carry bytecode and a line table of their own.
#define EXT_COMPAT_OPAQUE_FRAMES (PY_VERSION_HEX >= 0x030B0000)
// 3.12 stores an int's digit count and sign in one tag word, keeps the pending exception as one
// object, and deprecates the dictionary version tag.
#define EXT_COMPAT_TAGGED_INTS (PY_VERSION_HEX >= 0x030C0000)
#define EXT_COMPAT_SINGLE_EXCEPTION (PY_VERSION_HEX >= 0x030C0000 && !EXT_COMPAT_STABLE_ABI)
#define EXT_COMPAT_NO_DICT_VERSION (PY_VERSION_HEX >= 0x030C0000)
// 3.14 marks the small ints it keeps with the tag's third bit, beside the sign.
#if PY_VERSION_HEX >= 0x030E0000
#define EXT_COMPAT_SMALL_INT_FLAG static_cast<std::uintptr_t>(4)
#else
#define EXT_COMPAT_SMALL_INT_FLAG static_cast<std::uintptr_t>(0)
#endif
// From 3.12 the documented side reads an int of at most one digit (a compact one) through the
// unstable tier's functions.
#define EXT_COMPAT_DOCUMENTED_COMPACT_INTS \
  (ZELK_PUBLIC_API_ONLY && EXT_COMPAT_TAGGED_INTS && !EXT_COMPAT_STABLE_ABI)
// Interpreter IDs: none in 3.6, in 3.7 and 3.8 only through a field of the thread state, and not
// in the limited API of 3.6.
#define EXT_COMPAT_REGISTRY_IDENTITY \
  (EXT_COMPAT_STABLE_ABI ||          \
   (!EXT_COMPAT_PYPY &&              \
    (PY_VERSION_HEX < 0x03070000 || (ZELK_PUBLIC_API_ONLY && PY_VERSION_HEX < 0x03090000))))
// Where the documented side cannot read a type's number slot (PyPy, whose slot checks the result
// itself, and CPython before 3.10, where PyType_GetSlot refuses static types), it calls the
// method behind the slot as CPython's slot does. The stable ABI has both, for the interpreter to
// choose.
#define EXT_COMPAT_INT_METHOD_BY_NAME                                          \
  (EXT_COMPAT_PYPY || (ZELK_PUBLIC_API_ONLY && PY_VERSION_HEX < 0x030A0000) || \
   EXT_COMPAT_STABLE_ABI)

// Every call boxes its result: that call goes through the interpreter's address in the module's
// table, with no stub of the module's own in between (one jump and one cache line less). Other
// calls keep their stubs, which lets a dynamic linker's auditor see them bound.
#if defined(__has_attribute)
#if __has_attribute(noplt)
extern "C" PyObject* PyLong_FromLong(long) __attribute__((noplt));
#endif
#endif

#if EXT_COMPAT_DOCUMENTED && !defined(PyLong_SHIFT)
// PyPy's ints keep no digits; the documented reads below hand an int's value out in digits of
// this width, as the ints of CPython on 64-bit platforms hold it.
#define PyLong_SHIFT 30
#endif

namespace ext {
namespace compat {

#if EXT_COMPAT_DOCUMENTED
// An attribute name for the documented side's reads, interned at its first use into `slot` and
// kept for the life of the process, as the module's other names are: borrowed, or null with an
// exception pending when it cannot be made.
inline PyObject* kept_name(PyObject*& slot, const char* text) noexcept {
  if (!slot) slot = PyUnicode_InternFromString(text);
  return slot;
}
// The attribute of that name: a new reference, or null with an exception pending.
inline PyObject* named_attribute(PyObject* object, PyObject*& slot, const char* text) noexcept {
  PyObject* name = kept_name(slot, text);
  return name ? PyObject_GetAttr(object, name) : nullptr;
}
#endif

#if EXT_COMPAT_STABLE_ABI
// What the running interpreter has, where the limited API's interpreters differ: learnt once, at
// exec, by learn_interpreter().
struct RunningInterpreter {
  bool reads_static_slots;  // PyType_GetSlot reads the slots of static types (3.10 on)
  PyObject* code_type;      // types.CodeType
  PyObject* function_type;  // types.FunctionType
  bool code_replace;        // code objects have replace() (3.8 on)
  bool code_qualname;       // and a qualified name (3.11 on)
  bool code_positions;      // and columns beside their lines (3.11 on)
  // The minor version of a CPython 3.x checked whose tuples, ints and dictionaries are read in
  // place, as the module built for it reads them, once probes at exec found them laid out so; 0
  // reads them through calls (a CPython newer than any checked, or a probe that disagreed).
  int in_place_minor;
  // Where a tuple's items start, then: kept, as a call reads it twice (3.14 keeps a tuple's hash
  // before its items).
  std::size_t tuple_items_offset;
};
inline RunningInterpreter& running_interpreter() noexcept {
  static RunningInterpreter facts = {false, nullptr, nullptr, false, false, false, 0, 0};
  return facts;
}
#endif

// A tuple's items and a string's length, read in place; the limited API reads them through calls
// but where the running interpreter's layout is known. (A tuple's size is its variable-size
// header's, there too.)
inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#if EXT_COMPAT_STABLE_ABI
  return Py_SIZE(tuple);
#else
  return PyTuple_GET_SIZE(tuple);
#endif
}
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) noexcept {
#if EXT_COMPAT_STABLE_ABI
  const RunningInterpreter& facts = running_interpreter();
  if (EXT_LIKELY(facts.in_place_minor)) {
    const char* items = reinterpret_cast<const char*>(tuple) + facts.tuple_items_offset;
    return reinterpret_cast<PyObject* const*>(items)[index];
  }
  return PyTuple_GetItem(tuple, index);
#else
  return PyTuple_GET_ITEM(tuple, index);
#endif
}
inline Py_ssize_t unicode_length(PyObject* text) noexcept {
#if EXT_COMPAT_STABLE_ABI
  return PyUnicode_GetLength(text);
#else
  return PyUnicode_GET_LENGTH(text);
#endif
}

// Whether the object is a dict or an instance of a subclass. The exact type first: the limited
// API reads a type's flags through a call.
inline bool is_dict(PyObject* object) noexcept {
  return EXT_LIKELY(PyDict_CheckExact(object)) || PyDict_Check(object);
}

// Tells the calling thread's interpreter from every other of the process, even from one made
// later at the address of one that ended; -1 with an exception pending if it cannot be had.
// From 3.7 that is the interpreter's ID, never reused. Without IDs (3.6; 3.7 and 3.8 on the
// documented side) its module registry stands for the interpreter, and remember_interpreter()
// keeps that dictionary alive, so that no later registry can take its address.
inline std::int64_t interpreter_identity() noexcept {
#if EXT_COMPAT_PYPY
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#elif EXT_COMPAT_REGISTRY_IDENTITY
  return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(PyImport_GetModuleDict()));
#elif PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}
inline void remember_interpreter() noexcept {
#if EXT_COMPAT_REGISTRY_IDENTITY
  Py_INCREF(PyImport_GetModuleDict());
#endif
}

// The category a warning is issued under when it names none: null, for which CPython takes
// RuntimeWarning. PyPy would take UserWarning, so there it is named.
inline PyObject* default_warning_category() noexcept {
#if EXT_COMPAT_PYPY
  return PyExc_RuntimeWarning;
#else
  return nullptr;
#endif
}

// The calling thread's state, without the check that one exists.
inline PyThreadState* unchecked_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000 && !EXT_COMPAT_STABLE_ABI
  return PyThreadState_GetUnchecked();
#elif EXT_COMPAT_DOCUMENTED
  // With the check: a caller holding the interpreter's lock always has a thread state.
  return PyThreadState_Get();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

#if EXT_COMPAT_DOCUMENTED
// An int's magnitude and sign (-1, 0 or 1) while it fits 64 bits, on every machine; beyond, a
// sign of -2 or 2 and no magnitude. A read that fails stands for -1, with the failure pending for
// the caller to see.
struct LongValue {
  std::uint64_t magnitude;
  int sign;
};
inline LongValue long_value(PyObject* value) noexcept {
#if EXT_COMPAT_DOCUMENTED_COMPACT_INTS
  const PyLongObject* number = reinterpret_cast<PyLongObject*>(value);
  if (PyUnstable_Long_IsCompact(number)) {
    const std::int64_t compact = PyUnstable_Long_CompactValue(number);
    const std::uint64_t bits = static_cast<std::uint64_t>(compact);
    return LongValue{compact < 0 ? 0 - bits : bits, (compact > 0) - (compact < 0)};
  }
#endif
  int overflow = 0;
  const long long read = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow) return LongValue{0, 2 * overflow};
  const std::uint64_t bits = static_cast<std::uint64_t>(read);
  return LongValue{read < 0 ? 0 - bits : bits, (read > 0) - (read < 0)};
}
#endif

// An int's digit count, negative for a negative value, and its digits (least significant
// first, PyLong_SHIFT bits each).
inline Py_ssize_t long_signed_digit_count(PyObject* value) noexcept {
#if EXT_COMPAT_DOCUMENTED
  // Worked out from the value: an int beyond 64 bits counts as three digits, which is all that
  // a reader of up to two digits needs to know.
  const LongValue read = long_value(value);
  if (read.sign == 2 || read.sign == -2) return read.sign / 2 * 3;
  Py_ssize_t count = 0;
  for (std::uint64_t rest = read.magnitude; rest; rest >>= PyLong_SHIFT) ++count;
  return read.sign < 0 ? -count : count;
#elif EXT_COMPAT_TAGGED_INTS
  // The low bits hold the sign (0 positive, 1 zero, 2 negative), the rest the digit count.
  const std::uintptr_t tag = reinterpret_cast<PyLongObject*>(value)->long_value.lv_tag;
  const Py_ssize_t count = static_cast<Py_ssize_t>(tag >> _PyLong_NON_SIZE_BITS);
  return (tag & 2) ? -count : count;
#else
  return Py_SIZE(value);
#endif
}
inline std::uint64_t long_digit(PyObject* value, int index) noexcept {
#if EXT_COMPAT_DOCUMENTED
  const std::uint64_t magnitude = long_value(value).magnitude;
  return (magnitude >> (PyLong_SHIFT * index)) & ((std::uint64_t{1} << PyLong_SHIFT) - 1);
#elif EXT_COMPAT_TAGGED_INTS
  return reinterpret_cast<PyLongObject*>(value)->long_value.ob_digit[index];
#else
  return reinterpret_cast<PyLongObject*>(value)->ob_digit[index];
#endif
}

// An int's value when it fits 64 bits, whatever the width of a C long (32 bits on i386 and
// armhf): false, with nothing pending, when it does not.
static_assert(sizeof(long long) == sizeof(std::int64_t), "a C long long holds 64 bits");
inline bool long_value_64(PyObject* value, std::int64_t* out) noexcept {
  int overflow = 0;
  *out = PyLong_AsLongLongAndOverflow(value, &overflow);
  return !overflow;
}

// A new module named `name`, its dictionary holding what CPython's PyModule_NewObject puts there:
// the name, and None for __doc__, __package__, __loader__ and __spec__.
inline PyObject* new_module(PyObject* name) {
#if EXT_COMPAT_PYPY
  // PyPy's holds the name alone, so that __doc__ would be read from the module type.
  static const char* const unset[] = {"__doc__", "__package__", "__loader__", "__spec__"};
  PyObject* module = PyModule_NewObject(name);
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module);
  for (const char* key : unset) {
    if (PyDict_SetItemString(dict, key, Py_None) < 0) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  return module;
#else
  return PyModule_NewObject(name);
#endif
}

#if EXT_COMPAT_INT_METHOD_BY_NAME
// The attribute `name` (an interned str) of `type` found along its method resolution order
// alone, as the interpreter looks up the methods behind operations: a new reference, or null when
// absent or when the search failed, which then leaves its exception pending.
inline PyObject* method_of_type(PyTypeObject* type, PyObject* name) {
  static PyObject* mro_name = nullptr;
  static PyObject* dict_name = nullptr;
  if (!name) return nullptr;
  Ref order = Ref::steal(named_attribute(reinterpret_cast<PyObject*>(type), mro_name, "__mro__"));
  if (!order || !PyTuple_Check(order.get())) return nullptr;
  for (Py_ssize_t i = 0; i < tuple_size(order.get()); ++i) {
    Ref names = Ref::steal(named_attribute(tuple_item(order.get(), i), dict_name, "__dict__"));
    if (!names) return nullptr;
    const int found = PySequence_Contains(names.get(), name);
    if (found < 0) return nullptr;
    if (found) return PyObject_GetItem(names.get(), name);
  }
  return nullptr;
}
#endif

// Whether the object is a function written in Python.
inline bool is_python_function(PyObject* object) noexcept {
#if EXT_COMPAT_STABLE_ABI
  return reinterpret_cast<PyObject*>(Py_TYPE(object)) == running_interpreter().function_type;
#else
  return PyFunction_Check(object);
#endif
}

// What the object's __int__ returns, not yet checked to be an int: a new reference, or null
// with the method's exception pending, or null with none pending when the type has no __int__.
inline PyObject* call_int_method(PyObject* object) {
#if EXT_COMPAT_STABLE_ABI
  if (running_interpreter().reads_static_slots) {
    const unaryfunc to_int =
        reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(object), Py_nb_int));
    return to_int ? to_int(object) : nullptr;
  }
#endif
#if EXT_COMPAT_INT_METHOD_BY_NAME
  // A function is called with the object, anything else bound first through its type's __get__
  // if it has one.
  static PyObject* int_name = nullptr;
  static PyObject* get_name = nullptr;
  Ref method = Ref::steal(method_of_type(Py_TYPE(object), kept_name(int_name, "__int__")));
  if (!method) return nullptr;
  if (is_python_function(method.get())) {
    return PyObject_CallFunctionObjArgs(method.get(), object, nullptr);
  }
  Ref bind = Ref::steal(method_of_type(Py_TYPE(method.get()), kept_name(get_name, "__get__")));
  if (bind) {
    method = Ref::steal(
        PyObject_CallFunctionObjArgs(bind.get(), method.get(), object, Py_TYPE(object), nullptr));
    if (!method) return nullptr;
  } else if (PyErr_Occurred()) {
    return nullptr;
  }
  return PyObject_CallFunctionObjArgs(method.get(), nullptr);
#elif ZELK_PUBLIC_API_ONLY
  const unaryfunc to_int = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(object), Py_nb_int));
  return to_int ? to_int(object) : nullptr;
#else
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  return (number && number->nb_int) ? number->nb_int(object) : nullptr;
#endif
}

// Equal for two reads only when the dictionary certainly did not change in between; never 0.
// Where the interpreter keeps no version (deprecated from 3.12 on, never kept by PyPy, out of the
// documented API's reach), every read gives a new value, so a caller never reuses an answer and
// looks the key up again.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#if EXT_COMPAT_NO_DICT_VERSION || EXT_COMPAT_DOCUMENTED
  (void)dict;
  static std::uint64_t reads = 0;
  return ++reads;
#else
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// An int of at most one digit from the word that follows its type and its first digit, read
// only when it has one (zero may have none up to 3.11). Up to 3.11 the word is the signed digit
// count. From 3.12 it is a tag: the low two bits hold the sign (0 positive, 1 zero, 2 negative),
// the third is clear (3.14 marks the small ints it keeps with it; the caller clears it) and the
// rest is the count.
template <typename FirstDigit>
inline bool small_value_of_count(Py_ssize_t count, FirstDigit first_digit, int* out) noexcept {
  if (EXT_LIKELY(count == 1)) {
    *out = static_cast<int>(first_digit());
    return true;
  }
  if (count == 0) {
    *out = 0;
    return true;
  }
  if (count != -1) return false;
  *out = -static_cast<int>(first_digit());
  return true;
}
template <typename FirstDigit>
inline bool small_value_of_tag(std::uintptr_t tag, FirstDigit first_digit, int* out) noexcept {
  const std::uintptr_t one_digit = std::uintptr_t{1} << 3;
  const int digit = static_cast<int>(first_digit());  // 0 for zero, which has one
  if (EXT_LIKELY(tag == one_digit)) {
    *out = digit;
    return true;
  }
  if (tag >= 2 * one_digit) return false;
  *out = (1 - static_cast<int>(tag & 3)) * digit;
  return true;
}

// The value of an int of at most one digit (below 2**PyLong_SHIFT in magnitude): false for any
// other int, and then nothing is stored. Positive values are tested first, as the commonest.
inline bool long_small_value(PyObject* value, int* out) noexcept {
#if EXT_COMPAT_STABLE_ABI
  const int minor = running_interpreter().in_place_minor;
  if (EXT_LIKELY(minor)) {
    // Digits of 30 bits, each in 32, after the variable-size header.
    const auto first_digit = [value] {
      return *reinterpret_cast<const std::uint32_t*>(reinterpret_cast<const char*>(value) +
                                                     sizeof(PyVarObject));
    };
    const Py_ssize_t word = Py_SIZE(value);
    if (minor >= 12) {
      return small_value_of_tag(static_cast<std::uintptr_t>(word) & ~std::uintptr_t{4}, first_digit,
                                out);
    }
    return small_value_of_count(word, first_digit, out);
  }
#endif
#if EXT_COMPAT_DOCUMENTED_COMPACT_INTS
  const PyLongObject* number = reinterpret_cast<PyLongObject*>(value);
  if (EXT_UNLIKELY(!PyUnstable_Long_IsCompact(number))) return false;
  *out = static_cast<int>(PyUnstable_Long_CompactValue(number));
  return true;
#elif EXT_COMPAT_DOCUMENTED
  // An exact int, whose read cannot fail.
  int overflow = 0;
  const long long read = PyLong_AsLongLongAndOverflow(value, &overflow);
  const long long one_digit = 1LL << PyLong_SHIFT;
  if (overflow || read >= one_digit || read <= -one_digit) return false;
  *out = static_cast<int>(read);
  return true;
#else
  const auto first_digit = [value] { return long_digit(value, 0); };
#if EXT_COMPAT_TAGGED_INTS
  static_assert(_PyLong_NON_SIZE_BITS == 3, "the tag's count starts at its fourth bit");
  return small_value_of_tag(
      reinterpret_cast<PyLongObject*>(value)->long_value.lv_tag & ~EXT_COMPAT_SMALL_INT_FLAG,
      first_digit, out);
#else
  return small_value_of_count(Py_SIZE(value), first_digit, out);
#endif
#endif
}

// A dictionary's entry, as its table stores it: with the key's hash up to 3.10; without it from
// 3.11, in a table whose keys are all str. The documented side copies entries out.
struct HashedDictEntry {
  Py_hash_t hash;
  PyObject* key;
  PyObject* value;
};
struct StrDictEntry {
  PyObject* key;
  PyObject* value;
};
#if PY_VERSION_HEX < 0x030B0000 && !EXT_COMPAT_DOCUMENTED
using DictEntry = HashedDictEntry;
#else
using DictEntry = StrDictEntry;
#endif

// The small kind of table that a call's few keywords get: combined (a split one keeps its values
// elsewhere), from 3.11 holding str keys only, with 8 one-byte indices after its header, which
// its entries follow. The entries, or null for any other table: up to 3.10 and from 3.11.
inline const char* small_hashed_table_entries(const void* keys_object, const void* values) {
  struct Keys {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[8];
  };
  const Keys* keys = static_cast<const Keys*>(keys_object);
  return values || keys->size != 8 ? nullptr : keys->indices + 8;
}
inline const char* small_str_table_entries(const void* keys_object) {
  struct Keys {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[8];
  };
  const Keys* keys = static_cast<const Keys*>(keys_object);
  // 2**3 bytes of indices, and str keys (kind 1: neither general, 0, nor split, 2), compared
  // as the two adjacent bytes they are.
  static const std::uint8_t small_str_table[2] = {3, 1};
  static_assert(offsetof(Keys, kind) == offsetof(Keys, log2_index_bytes) + 1, "adjacent");
  return std::memcmp(&keys->log2_index_bytes, small_str_table, 2) ? nullptr : keys->indices + 8;
}

#if EXT_COMPAT_STABLE_ABI
// A dictionary's header, as every CPython checked lays it out.
struct DictHeader {
  PyObject object;
  Py_ssize_t used;
  std::uint64_t version_tag;
  void* keys;
  void* values;
};
#endif

// The entries of a dictionary (a dict, or an instance of a subclass), in insertion order, and
// their number in `count`; null when its table is not the small kind that a call's few keywords
// get, and the caller then takes a general path. The first `count` entries are there to read; a
// deleted one has a null key. Where the table is not read in place, the entries of a dictionary
// of at most two are copied into `copy`, unused ones null.
inline const DictEntry* dict_entries(PyObject* dict, DictEntry (&copy)[2],
                                     Py_ssize_t* count) noexcept {
#if EXT_COMPAT_PYPY
  // The keys of a call's keywords reach the C API as objects of their own, never the names the
  // module interned, so an in-place read could never bind them; PyPy's dictionaries have no
  // table to read either.
  (void)dict;
  (void)copy;
  (void)count;
  return nullptr;
#elif ZELK_PUBLIC_API_ONLY
#if EXT_COMPAT_STABLE_ABI
  const int minor = running_interpreter().in_place_minor;
  if (EXT_LIKELY(minor)) {
    const DictHeader* header = reinterpret_cast<const DictHeader*>(dict);
    *count = header->used;
    if (minor >= 11) {
      const char* entries = small_str_table_entries(header->keys);
      if (EXT_UNLIKELY(!entries)) return nullptr;
      return reinterpret_cast<const StrDictEntry*>(entries);
    }
    const HashedDictEntry* entries = reinterpret_cast<const HashedDictEntry*>(
        small_hashed_table_entries(header->keys, header->values));
    if (EXT_UNLIKELY(!entries)) return nullptr;
    for (int i = 0; i < 2; ++i) copy[i] = StrDictEntry{entries[i].key, entries[i].value};
    return copy;
  }
#endif
  *count = PyDict_Size(dict);
  if (*count > 2) return nullptr;
  copy[0] = copy[1] = DictEntry{nullptr, nullptr};
  Py_ssize_t position = 0;
  for (Py_ssize_t i = 0; i < *count; ++i) {
    PyDict_Next(dict, &position, &copy[i].key, &copy[i].value);
  }
  return copy;
#else
  (void)copy;
  const PyDictObject* table = reinterpret_cast<const PyDictObject*>(dict);
  *count = table->ma_used;
#if PY_VERSION_HEX < 0x030B0000
  return reinterpret_cast<const DictEntry*>(
      small_hashed_table_entries(table->ma_keys, table->ma_values));
#else
  return reinterpret_cast<const DictEntry*>(small_str_table_entries(table->ma_keys));
#endif
#endif
}

// Looks a string key up by the hash cached in the string object: borrowed, or null when absent
// or when the lookup failed.
inline PyObject* dict_get_by_cached_hash(PyObject* dict, PyObject* key) noexcept {
#if EXT_COMPAT_DOCUMENTED
  // The cache is out of the documented API's reach (and PyPy's strings keep it out of the C
  // API's); the interpreter's own lookup uses it.
  return PyDict_GetItemWithError(dict, key);
#else
  return _PyDict_GetItem_KnownHash(dict, key, reinterpret_cast<PyASCIIObject*>(key)->hash);
#endif
}

// Where an object keeps its instance dictionary, or null when it has none. The documented side
// has no way to the slot and gives null: the caller then reads the object's attribute instead.
inline PyObject** instance_dict_slot(PyObject* object) noexcept {
#if EXT_COMPAT_DOCUMENTED
  (void)object;
  return nullptr;
#else
  return _PyObject_GetDictPtr(object);
#endif
}

// The attribute `name` (a str) of the object: a new reference, or null with an exception set.
inline PyObject* attribute(PyObject* object, PyObject* name) {
#if EXT_COMPAT_DOCUMENTED
  return PyObject_GetAttr(object, name);
#else
  // The type's own lookup, without the generic function's checks.
  getattrofunc getattro = Py_TYPE(object)->tp_getattro;
  return getattro ? getattro(object, name) : PyObject_GetAttr(object, name);
#endif
}

// The name of a type as the interpreter's messages spell it (its tp_name), its text kept alive
// by `holder`; null with an exception pending when it cannot be had. The documented side spells
// it from the type's attributes: a class's __name__, and for a type defined in C "module.name"
// unless the module is builtins. A type made in C from a spec that leaves it mutable counts as a
// class there, its module left out.
inline const char* type_name(PyTypeObject* type, Ref* holder) {
#if EXT_COMPAT_DOCUMENTED
  static PyObject* name_name = nullptr;
  static PyObject* module_name = nullptr;
  PyObject* object = reinterpret_cast<PyObject*>(type);
  Ref name = Ref::steal(named_attribute(object, name_name, "__name__"));
  if (!name) return nullptr;
  const unsigned long flags = PyType_GetFlags(type);
  bool defined_in_c = !(flags & Py_TPFLAGS_HEAPTYPE);
#if EXT_COMPAT_STABLE_ABI
  // Py_TPFLAGS_IMMUTABLETYPE of 3.10 on, a flag that no earlier interpreter sets.
  defined_in_c = defined_in_c || (flags & (1UL << 8));
#elif defined(Py_TPFLAGS_IMMUTABLETYPE)
  defined_in_c = defined_in_c || (flags & Py_TPFLAGS_IMMUTABLETYPE);
#endif
  if (defined_in_c) {
    Ref module = Ref::steal(named_attribute(object, module_name, "__module__"));
    if (!module) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
    } else if (PyUnicode_Check(module.get()) &&
               PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0) {
      name = Ref::steal(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
      if (!name) return nullptr;
    }
  }
#if EXT_COMPAT_STABLE_ABI
  *holder = Ref::steal(PyUnicode_AsUTF8String(name.get()));
  return *holder ? PyBytes_AsString(holder->get()) : nullptr;
#else
  *holder = std::move(name);
  return PyUnicode_AsUTF8(holder->get());
#endif
#else
  (void)holder;
  return type->tp_name;
#endif
}

}  // namespace compat
}  // namespace ext

// Moves the thread's pending exception out; the caller owns the three references. `thread` is
// the calling thread's state.
static inline void Ext_ErrFetchInState(PyThreadState* thread, PyObject** type, PyObject** value,
                                       PyObject** traceback) noexcept {
#if EXT_COMPAT_SINGLE_EXCEPTION && !EXT_COMPAT_PYPY
  // One normalised exception object: its type and traceback are read from it.
  (void)thread;
  PyObject* exception = PyErr_GetRaisedException();
  *type = exception ? reinterpret_cast<PyObject*>(Py_TYPE(exception)) : nullptr;
  Py_XINCREF(*type);
  *value = exception;
  *traceback = exception ? PyException_GetTraceback(exception) : nullptr;
#elif EXT_COMPAT_DOCUMENTED
  // PyPy keeps the pending exception out of the thread state's reach.
  (void)thread;
  PyErr_Fetch(type, value, traceback);
#else
  *type = thread->curexc_type;
  *value = thread->curexc_value;
  *traceback = thread->curexc_traceback;
  thread->curexc_type = nullptr;
  thread->curexc_value = nullptr;
  thread->curexc_traceback = nullptr;
#endif
}

// Makes the three references the thread's pending exception, then releases what was there.
static inline void Ext_ErrRestoreInState(PyThreadState* thread, PyObject* type, PyObject* value,
                                         PyObject* traceback) noexcept {
#if EXT_COMPAT_SINGLE_EXCEPTION || EXT_COMPAT_DOCUMENTED
  // From 3.12 the interpreter joins the three into one exception object.
  (void)thread;
  PyErr_Restore(type, value, traceback);
#else
  PyObject* old_type = thread->curexc_type;
  PyObject* old_value = thread->curexc_value;
  PyObject* old_traceback = thread->curexc_traceback;
  thread->curexc_type = type;
  thread->curexc_value = value;
  thread->curexc_traceback = traceback;
  Py_XDECREF(old_type);
  Py_XDECREF(old_value);
  Py_XDECREF(old_traceback);
#endif
}

namespace ext {
namespace compat {

#if EXT_COMPAT_STABLE_ABI
// From 3.11 a code object maps each instruction to columns besides a line, and a traceback that
// finds the line on disk marks those columns under it. A code object of the interpreter's own
// making for an entry has none; this location table says the same of compiled code: every unit
// on the first line (no change), no columns. Its format is the interpreter's, so the caller keeps
// it only where the code's positions then read so.
inline PyObject* lines_without_columns(Py_ssize_t code_units) noexcept {
  static const unsigned char no_columns_entry = 0x80 | 13 << 3;  // and the count of units, less 1
  const Py_ssize_t entries = (code_units + 7) / 8;
  PyObject* table = PyBytes_FromStringAndSize(nullptr, 2 * entries);
  if (!table) return nullptr;
  char* bytes = PyBytes_AsString(table);
  for (Py_ssize_t entry = 0; entry < entries; ++entry) {
    const Py_ssize_t units = code_units - 8 * entry < 8 ? code_units - 8 * entry : 8;
    bytes[2 * entry] = static_cast<char>(no_columns_entry | (units - 1));
    bytes[2 * entry + 1] = 0;  // the line changes by nothing
  }
  return table;
}

// Whether every position of the code is (line, line, None, None): 1, 0, or -1 with an exception.
inline int positions_are_line_alone(PyObject* code, long line) noexcept {
  Ref positions = Ref::steal(PyObject_CallMethod(code, "co_positions", nullptr));
  if (!positions) return -1;
  Ref expected = Ref::steal(Py_BuildValue("(llOO)", line, line, Py_None, Py_None));
  if (!expected) return -1;
  int all = 1;
  while (all == 1) {
    Ref position = Ref::steal(PyIter_Next(positions.get()));
    if (!position) return PyErr_Occurred() ? -1 : 1;
    all = PyObject_RichCompareBool(position.get(), expected.get(), Py_EQ);
  }
  return all;
}

// code.replace(**changes): a new reference, or null with an exception pending.
inline PyObject* code_replaced(PyObject* code, PyObject* changes) noexcept {
  Ref replace = Ref::steal(PyObject_GetAttrString(code, "replace"));
  Ref no_arguments = Ref::steal(PyTuple_New(0));
  if (!replace || !no_arguments) return nullptr;
  return PyObject_Call(replace.get(), no_arguments.get(), changes);
}

// A copy of the compiled code object named `name` (also as its qualified name where code objects
// have one), its columns dropped where they have them: a new reference, or null with an
// exception pending.
inline PyObject* code_named(PyObject* code, PyObject* name) noexcept {
  const RunningInterpreter& facts = running_interpreter();
  Ref renamed;
  if (facts.code_replace) {
    Ref changes = Ref::steal(PyDict_New());
    if (!changes || PyDict_SetItemString(changes.get(), "co_name", name) < 0 ||
        (facts.code_qualname && PyDict_SetItemString(changes.get(), "co_qualname", name) < 0)) {
      return nullptr;
    }
    renamed = Ref::steal(code_replaced(code, changes.get()));
  } else {
    // 3.6 and 3.7: types.CodeType(argcount, kwonlyargcount, nlocals, stacksize, flags, code,
    // consts, names, varnames, filename, name, firstlineno, lnotab, freevars, cellvars).
    static const char* const fields[] = {
        "co_argcount", "co_kwonlyargcount", "co_nlocals", "co_stacksize", "co_flags",
        "co_code",     "co_consts",         "co_names",   "co_varnames",  "co_filename",
        nullptr,       "co_firstlineno",    "co_lnotab",  "co_freevars",  "co_cellvars"};
    const Py_ssize_t count = sizeof fields / sizeof fields[0];
    Ref arguments = Ref::steal(PyTuple_New(count));
    if (!arguments) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* value = fields[i] ? PyObject_GetAttrString(code, fields[i]) : name;
      if (!value) return nullptr;
      if (!fields[i]) Py_INCREF(value);
      PyTuple_SetItem(arguments.get(), i, value);  // takes the reference
    }
    renamed = Ref::steal(PyObject_CallObject(facts.code_type, arguments.get()));
  }
  if (!renamed || !facts.code_positions) return renamed.release();

  Ref bytecode = Ref::steal(PyObject_GetAttrString(renamed.get(), "co_code"));
  Ref first_line = Ref::steal(PyObject_GetAttrString(renamed.get(), "co_firstlineno"));
  if (!bytecode || !first_line) return nullptr;
  const long line = PyLong_AsLong(first_line.get());
  const Py_ssize_t size = PyBytes_Size(bytecode.get());
  if (size < 0 || (line == -1 && PyErr_Occurred())) return nullptr;
  Ref table = Ref::steal(lines_without_columns(size / 2));
  Ref changes = Ref::steal(PyDict_New());
  if (!table || !changes || PyDict_SetItemString(changes.get(), "co_linetable", table.get()) < 0) {
    return nullptr;
  }
  Ref stripped = Ref::steal(code_replaced(renamed.get(), changes.get()));
  if (!stripped) return nullptr;
  const int line_alone = positions_are_line_alone(stripped.get(), line);
  if (line_alone < 0) return nullptr;
  // A table this interpreter reads otherwise: its columns are kept.
  return line_alone ? stripped.release() : renamed.release();
}
// The major and minor numbers a version text starts with ("3.10.2 ..." gives 3 and 10): false,
// with nothing stored, when it does not start so.
inline bool version_numbers(const char* text, int* major, int* minor) noexcept {
  int numbers[2] = {0, 0};
  for (int& number : numbers) {
    if (*text < '0' || *text > '9') return false;
    while (*text >= '0' && *text <= '9') number = 10 * number + (*text++ - '0');
    if (&number == numbers && *text++ != '.') return false;
  }
  *major = numbers[0];
  *minor = numbers[1];
  return true;
}

// Whether the object has the attribute: 1, 0, or -1 with an exception pending (a failure other
// than the attribute's absence is not taken for it).
inline int has_attribute(PyObject* object, const char* name) noexcept {
  Ref found = Ref::steal(PyObject_GetAttrString(object, name));
  if (found) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// Whether tuples, ints and dictionaries read in place (as RunningInterpreter.in_place_minor says)
// give back what the interpreter made of known values. The reads stay within what each object
// holds even where the layout were another.
inline bool in_place_reads_agree() noexcept {
  static const long long one_digit[] = {0, 1, -1, 7, -7, (1LL << 30) - 1, -((1LL << 30) - 1)};
  static const long long wider[] = {1LL << 30, -(1LL << 30), 1LL << 45, -(1LL << 45)};
  for (const long long expected : one_digit) {
    Ref number = Ref::steal(PyLong_FromLongLong(expected));
    int read = 0;
    if (!number || !long_small_value(number.get(), &read) || read != expected) return false;
  }
  for (const long long expected : wider) {
    Ref number = Ref::steal(PyLong_FromLongLong(expected));
    int read = 0;
    if (!number || long_small_value(number.get(), &read)) return false;
  }
  Ref first = Ref::steal(PyLong_FromLong(1000001));
  Ref second = Ref::steal(PyLong_FromLong(1000002));
  if (!first || !second) return false;
  Ref items = Ref::steal(PyTuple_Pack(3, first.get(), second.get(), first.get()));
  if (!items || tuple_item(items.get(), 0) != first.get() ||
      tuple_item(items.get(), 1) != second.get()) {
    return false;
  }
  // A dictionary made as a call's keywords are: a fresh one, str keys set in order.
  Ref keys[2] = {Ref::steal(PyUnicode_FromString("first")),
                 Ref::steal(PyUnicode_FromString("second"))};
  Ref dict = Ref::steal(PyDict_New());
  if (!keys[0] || !keys[1] || !dict || PyDict_SetItem(dict.get(), keys[0].get(), first.get()) ||
      PyDict_SetItem(dict.get(), keys[1].get(), second.get())) {
    return false;
  }
  DictEntry copy[2];
  Py_ssize_t count = 0;
  const DictEntry* entries = dict_entries(dict.get(), copy, &count);
  return entries && count == 2 && entries[0].key == keys[0].get() &&
         entries[0].value == first.get() && entries[1].key == keys[1].get() &&
         entries[1].value == second.get();
}

// Learns, for a CPython `major`.`minor`, whether tuples, ints and dictionaries are read in place:
// on one checked whose objects read back as made. 0, or -1 with an exception pending when an
// object to read could not be made.
inline int learn_layouts(int major, int minor) noexcept {
  RunningInterpreter& facts = running_interpreter();
  if (ZELK_STABLE_ABI_CALLS_ONLY || major != 3 || minor < 6 ||
      minor > EXT_COMPAT_NEWEST_CHECKED_MINOR) {
    return 0;
  }
  facts.in_place_minor = minor;
  facts.tuple_items_offset = sizeof(PyVarObject) + (minor >= 14 ? sizeof(Py_hash_t) : 0);
  if (in_place_reads_agree()) return 0;
  facts.in_place_minor = 0;
  return PyErr_Occurred() ? -1 : 0;
}

// Learns what code objects have from `code`, compiled by the running interpreter, and what
// function objects are from `function`, made by it. 0, or -1 with an exception pending; kept for
// the life of the process.
inline int learn_interpreter(PyObject* code, PyObject* function) noexcept {
  RunningInterpreter& facts = running_interpreter();
  if (facts.code_type) return 0;
  const int replace = has_attribute(code, "replace");
  const int qualname = replace < 0 ? -1 : has_attribute(code, "co_qualname");
  const int positions = qualname < 0 ? -1 : has_attribute(code, "co_positions");
  if (positions < 0) return -1;
  // Before 3.10 PyType_GetSlot refuses a static type (asking would make an error to drop).
  int major = 0;
  int minor = 0;
  const bool numbered = version_numbers(Py_GetVersion(), &major, &minor);
  facts.reads_static_slots = !numbered || major != 3 || minor >= 10;
  if (numbered && learn_layouts(major, minor) < 0) return -1;
  facts.code_replace = replace;
  facts.code_qualname = qualname;
  facts.code_positions = positions;
  facts.function_type = reinterpret_cast<PyObject*>(Py_TYPE(function));
  facts.code_type = reinterpret_cast<PyObject*>(Py_TYPE(code));
  Py_INCREF(facts.function_type);
  Py_INCREF(facts.code_type);
  return 0;
}
#else
// A code object with no code, used only to give a traceback entry its file, name and line.
inline PyObject* new_empty_code(PyObject* filename, PyObject* name, int first_line,
                                PyObject* empty_tuple, PyObject* empty_bytes) noexcept {
#if EXT_COMPAT_OPAQUE_FRAMES
  // Code must hold valid bytecode with a line table that maps it to `first_line`, which is the
  // line a frame of it shows; the interpreter's own empty code object is made that way.
  (void)empty_tuple;
  (void)empty_bytes;
  const char* filename_text = PyUnicode_AsUTF8(filename);
  if (!filename_text) return nullptr;
  const char* name_text = PyUnicode_AsUTF8(name);
  if (!name_text) return nullptr;
  return reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_text, name_text, first_line));
#else
  return reinterpret_cast<PyObject*>(PyCode_New(0, 0, 0, 0, 0, empty_bytes, empty_tuple,
                                                empty_tuple, empty_tuple, empty_tuple, empty_tuple,
                                                filename, name, first_line, empty_bytes));
#endif
}

// A code object's name and file name: new references, or null; the pending exception, if any,
// stays as it is. The documented side reads them as attributes, with that exception held aside.
#if EXT_COMPAT_DOCUMENTED
inline PyObject* attribute_beside_exception(PyObject* object, PyObject*& slot,
                                            const char* text) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* found = named_attribute(object, slot, text);
  if (!found) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return found;
}
#endif
inline PyObject* code_name(PyObject* code) noexcept {
#if EXT_COMPAT_DOCUMENTED
  static PyObject* name = nullptr;
  return attribute_beside_exception(code, name, "co_name");
#else
  PyObject* name = reinterpret_cast<PyCodeObject*>(code)->co_name;
  Py_INCREF(name);
  return name;
#endif
}
inline PyObject* code_filename(PyObject* code) noexcept {
#if EXT_COMPAT_DOCUMENTED
  static PyObject* name = nullptr;
  return attribute_beside_exception(code, name, "co_filename");
#else
  PyObject* filename = reinterpret_cast<PyCodeObject*>(code)->co_filename;
  Py_INCREF(filename);
  return filename;
#endif
}

// A frame of the code object over the given globals, showing the given line. The caller's
// pending exception is held aside meanwhile: from 3.8 PyFrame_New looks __builtins__ (3.12:
// __name__) up in the globals with a lookup that reports errors, and an absent key with an
// exception already pending reads there as a failed lookup, so no frame would be made.
inline PyObject* new_frame(PyThreadState* thread, PyObject* code, PyObject* globals,
                           int line) noexcept {
  PyObject *pending_type, *pending_value, *pending_traceback;
  Ext_ErrFetchInState(thread, &pending_type, &pending_value, &pending_traceback);
  PyFrameObject* frame =
      PyFrame_New(thread, reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
  if (frame || !PyErr_Occurred()) {
    Ext_ErrRestoreInState(thread, pending_type, pending_value, pending_traceback);
  } else {
    // The frame's own failure stands, as the caller expects of a failed PyFrame_New.
    Py_XDECREF(pending_type);
    Py_XDECREF(pending_value);
    Py_XDECREF(pending_traceback);
  }
#if EXT_COMPAT_OPAQUE_FRAMES || EXT_COMPAT_DOCUMENTED
  // A frame that runs nothing shows its code object's first line, which the caller made `line`;
  // from 3.11 its line cannot be set, and the documented API never sets it.
  (void)line;
#else
  if (frame) frame->f_lineno = line;
#endif
  return reinterpret_cast<PyObject*>(frame);
}

#endif  // EXT_COMPAT_STABLE_ABI

}  // namespace compat
}  // namespace ext

#endif  // ZELK_EXT_COMPAT_H
