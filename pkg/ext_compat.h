// The interpreter internals this module reads directly, one small function for each. Every place
// where the interpreters from 3.6 to 3.13 differ is decided here and only here: the rest of the
// module makes the same call on every version. PyPy's C API emulation exposes none of these
// internals; there each function has a side of its own on the public C API.
#ifndef ZELK_EXT_COMPAT_H
#define ZELK_EXT_COMPAT_H

#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ext_hints.h"

#if defined(PYPY_VERSION)
#define EXT_COMPAT_PYPY 1
#else
#define EXT_COMPAT_PYPY 0
#endif

// 3.11 made the frame opaque and code objects carry bytecode and a line table of their own.
#define EXT_COMPAT_OPAQUE_FRAMES (PY_VERSION_HEX >= 0x030B0000)
// 3.12 stores an int's digit count and sign in one tag word, keeps the pending exception as one
// object, and deprecates the dictionary version tag.
#define EXT_COMPAT_TAGGED_INTS (PY_VERSION_HEX >= 0x030C0000)
#define EXT_COMPAT_SINGLE_EXCEPTION (PY_VERSION_HEX >= 0x030C0000)
#define EXT_COMPAT_NO_DICT_VERSION (PY_VERSION_HEX >= 0x030C0000)

#if EXT_COMPAT_PYPY && !defined(PyLong_SHIFT)
// PyPy's ints keep no digits; the reads below hand their value out in digits of this width, as
// the ints of CPython on 64-bit platforms hold it.
#define PyLong_SHIFT 30
#endif

namespace ext {
namespace compat {

// Tells the calling thread's interpreter from every other of the process, even from one made
// later at the address of one that ended; -1 with an exception pending if it cannot be had.
// From 3.7 that is the interpreter's ID, never reused. 3.6 has no IDs: its module registry
// stands for the interpreter, and remember_interpreter() keeps that dictionary alive, so that
// no later registry can take its address.
inline std::int64_t interpreter_identity() noexcept {
#if EXT_COMPAT_PYPY
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#elif PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_GetID(PyInterpreterState_Get());
#elif PY_VERSION_HEX >= 0x03070000
  return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#else
  return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(PyImport_GetModuleDict()));
#endif
}
inline void remember_interpreter() noexcept {
#if PY_VERSION_HEX < 0x03070000
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
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

#if EXT_COMPAT_PYPY
// An int's magnitude and sign (-1, 0 or 1) while it fits a C long; beyond, a sign of -2 or 2 and
// no magnitude. A read that fails stands for -1, with the failure pending for the caller to see.
struct LongValue {
  unsigned long magnitude;
  int sign;
};
inline LongValue long_value(PyObject* value) noexcept {
  int overflow = 0;
  const long read = PyLong_AsLongAndOverflow(value, &overflow);
  if (overflow) return LongValue{0, 2 * overflow};
  const unsigned long bits = static_cast<unsigned long>(read);
  return LongValue{read < 0 ? 0UL - bits : bits, read < 0 ? -1 : read > 0};
}
#endif

// An int's digit count, negative for a negative value, and its digits (least significant
// first, PyLong_SHIFT bits each).
inline Py_ssize_t long_signed_digit_count(PyObject* value) noexcept {
#if EXT_COMPAT_PYPY
  // Worked out from the value: an int beyond a C long counts as three digits, which is all that
  // a reader of up to two digits needs to know.
  const LongValue read = long_value(value);
  if (read.sign == 2 || read.sign == -2) return read.sign / 2 * 3;
  Py_ssize_t count = 0;
  for (unsigned long rest = read.magnitude; rest; rest >>= PyLong_SHIFT) ++count;
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
#if EXT_COMPAT_PYPY
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

#if EXT_COMPAT_PYPY
// The attribute `name` of `type` found along its method resolution order alone, as the
// interpreter looks up the methods behind operations: borrowed, or null (no exception pending)
// when absent.
inline PyObject* method_of_type(PyTypeObject* type, const char* name) {
  PyObject* key = PyUnicode_InternFromString(name);
  if (!key) return nullptr;
  PyObject* found = _PyType_Lookup(type, key);
  Py_DECREF(key);
  return found;
}
#endif

// What the object's __int__ returns, not yet checked to be an int: a new reference, or null
// with the method's exception pending, or null with none pending when the type has no __int__.
inline PyObject* call_int_method(PyObject* object) {
#if EXT_COMPAT_PYPY
  // PyPy's slot checks the result itself, in words of its own and warning about an int
  // subclass before the caller would again; the method is called as CPython's slot calls it:
  // a function with the object, anything else bound through its type's __get__ if it has one.
  PyObject* method = method_of_type(Py_TYPE(object), "__int__");
  if (!method) return nullptr;
  if (PyFunction_Check(method)) return PyObject_CallOneArg(method, object);
  Py_INCREF(method);
  if (PyObject* bind = method_of_type(Py_TYPE(method), "__get__")) {
    PyObject* bound = PyObject_CallFunctionObjArgs(bind, method, object, Py_TYPE(object), nullptr);
    Py_DECREF(method);
    if (!bound) return nullptr;
    method = bound;
  } else if (PyErr_Occurred()) {
    Py_DECREF(method);
    return nullptr;
  }
  PyObject* result = PyObject_CallNoArgs(method);
  Py_DECREF(method);
  return result;
#else
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  return (number && number->nb_int) ? number->nb_int(object) : nullptr;
#endif
}

// Equal for two reads only when the dictionary certainly did not change in between; never 0.
// Where the interpreter keeps no version (deprecated from 3.12 on, never kept by PyPy), every
// read gives a new value, so a caller never reuses an answer and looks the key up again.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#if EXT_COMPAT_NO_DICT_VERSION || EXT_COMPAT_PYPY
  (void)dict;
  static std::uint64_t reads = 0;
  return ++reads;
#else
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// The value of an int of at most one digit (below 2**PyLong_SHIFT in magnitude): false for any
// other int, and then nothing is stored. Positive values are tested first, as the commonest.
inline bool long_small_value(PyObject* value, int* out) noexcept {
#if EXT_COMPAT_PYPY
  const LongValue read = long_value(value);
  if (read.sign == 2 || read.sign == -2 || read.magnitude >> PyLong_SHIFT) return false;
  *out = read.sign * static_cast<int>(read.magnitude);
  return true;
#elif EXT_COMPAT_TAGGED_INTS
  const std::uintptr_t tag = reinterpret_cast<PyLongObject*>(value)->long_value.lv_tag;
  const std::uintptr_t one_digit = std::uintptr_t{1} << _PyLong_NON_SIZE_BITS;
  const int digit = static_cast<int>(long_digit(value, 0));  // 0 for zero, which has one
  if (EXT_LIKELY(tag == one_digit)) {
    *out = digit;
    return true;
  }
  if (tag >= 2 * one_digit) return false;
  *out = (1 - static_cast<int>(tag & 3)) * digit;  // the low bits: 0 positive, 1 zero, 2 negative
  return true;
#else
  const Py_ssize_t count = Py_SIZE(value);
  if (EXT_LIKELY(count == 1)) {
    *out = static_cast<int>(long_digit(value, 0));
    return true;
  }
  if (count == 0) {
    *out = 0;  // zero may have no digit to read
    return true;
  }
  if (count != -1) return false;
  *out = -static_cast<int>(long_digit(value, 0));
  return true;
#endif
}

// A dictionary's entry, as its table stores it.
#if PY_VERSION_HEX < 0x030B0000
struct DictEntry {
  Py_hash_t hash;
  PyObject* key;
  PyObject* value;
};
#else
struct DictEntry {  // in a table whose keys are all str
  PyObject* key;
  PyObject* value;
};
#endif

// The entries of a dictionary (a dict, or an instance of a subclass), in insertion order, to be
// read in place; null when its table is not the small kind that a call's few keywords get, and
// the caller then takes a general path. That table is combined (a split one keeps its values
// elsewhere), from 3.11 holds str keys only, and has 8 one-byte indices after its header, which
// its entries follow. The first ma_used entries are there to read; a deleted one has a null key.
inline const DictEntry* dict_entries(PyObject* dict) noexcept {
#if EXT_COMPAT_PYPY
  // The keys of a call's keywords reach the C API as objects of their own, never the names the
  // module interned, so an in-place read could never bind them; PyPy's dictionaries have no
  // table to read either.
  (void)dict;
  return nullptr;
#else
  const PyDictObject* table = reinterpret_cast<const PyDictObject*>(dict);
#if PY_VERSION_HEX < 0x030B0000
  struct Keys {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[8];
  };
  if (table->ma_values) return nullptr;
  const Keys* keys = reinterpret_cast<const Keys*>(table->ma_keys);
  if (keys->size != 8) return nullptr;
#else
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
  const Keys* keys = reinterpret_cast<const Keys*>(table->ma_keys);
  // 2**3 bytes of indices, and str keys (kind 1: neither general, 0, nor split, 2), compared
  // as the two adjacent bytes they are.
  static const std::uint8_t small_str_table[2] = {3, 1};
  static_assert(offsetof(Keys, kind) == offsetof(Keys, log2_index_bytes) + 1, "adjacent");
  if (std::memcmp(&keys->log2_index_bytes, small_str_table, 2) != 0) return nullptr;
#endif
  return reinterpret_cast<const DictEntry*>(keys->indices + 8);
#endif
}

// The number of entries, read from the dictionary itself.
inline Py_ssize_t dict_size(PyObject* dict) noexcept {
#if EXT_COMPAT_PYPY
  return PyDict_Size(dict);
#else
  return reinterpret_cast<PyDictObject*>(dict)->ma_used;
#endif
}

// Looks a string key up by the hash cached in the string object: borrowed, or null when absent
// or when the lookup failed.
inline PyObject* dict_get_by_cached_hash(PyObject* dict, PyObject* key) noexcept {
#if EXT_COMPAT_PYPY
  // PyPy's strings cache their hash out of reach of the C API; its own lookup uses it.
  return PyDict_GetItemWithError(dict, key);
#else
  return _PyDict_GetItem_KnownHash(dict, key, reinterpret_cast<PyASCIIObject*>(key)->hash);
#endif
}

// Where an object keeps its instance dictionary, or null when it has none.
inline PyObject** instance_dict_slot(PyObject* object) noexcept {
  return _PyObject_GetDictPtr(object);
}

}  // namespace compat
}  // namespace ext

// Moves the thread's pending exception out; the caller owns the three references. `thread` is
// the calling thread's state.
static inline void Ext_ErrFetchInState(PyThreadState* thread, PyObject** type, PyObject** value,
                                       PyObject** traceback) noexcept {
#if EXT_COMPAT_PYPY
  // PyPy keeps the pending exception out of the thread state's reach.
  (void)thread;
  PyErr_Fetch(type, value, traceback);
#elif EXT_COMPAT_SINGLE_EXCEPTION
  // One normalised exception object: its type and traceback are read from it.
  (void)thread;
  PyObject* exception = PyErr_GetRaisedException();
  *type = exception ? reinterpret_cast<PyObject*>(Py_TYPE(exception)) : nullptr;
  Py_XINCREF(*type);
  *value = exception;
  *traceback = exception ? PyException_GetTraceback(exception) : nullptr;
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
#if EXT_COMPAT_PYPY
  (void)thread;
  PyErr_Restore(type, value, traceback);
#elif EXT_COMPAT_SINGLE_EXCEPTION
  // The interpreter joins the three into one exception object and releases the old one.
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

inline PyObject* code_name(PyObject* code) noexcept {
  return reinterpret_cast<PyCodeObject*>(code)->co_name;
}
inline PyObject* code_filename(PyObject* code) noexcept {
  return reinterpret_cast<PyCodeObject*>(code)->co_filename;
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
#if EXT_COMPAT_OPAQUE_FRAMES
  // The line cannot be set on a frame that runs nothing; the code object's first line, which
  // the caller made `line`, is what the frame shows.
  (void)line;
#else
  if (frame) frame->f_lineno = line;
#endif
  return reinterpret_cast<PyObject*>(frame);
}

}  // namespace compat
}  // namespace ext

#endif  // ZELK_EXT_COMPAT_H
