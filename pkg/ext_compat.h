// The interpreter internals this module reads directly, one small function for each. Every place
// where the interpreters from 3.6 to 3.13 differ is decided here and only here: the rest of the
// module makes the same call on every version. PyPy's C API emulation exposes none of these
// internals; there each function has a side of its own on the public C API.
#ifndef ZELK_EXT_COMPAT_H
#define ZELK_EXT_COMPAT_H

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

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
// 3.12's PyFrame_New mistakes an exception already pending for a failure of its own.
#define EXT_COMPAT_FRAME_NEEDS_NO_PENDING_ERROR (PY_VERSION_HEX >= 0x030C0000)

#if EXT_COMPAT_PYPY && !defined(PyLong_SHIFT)
// PyPy's ints keep no digits; the reads below hand their value out in digits of this width, as
// the ints of CPython on 64-bit platforms hold it.
#define PyLong_SHIFT 30
#endif

namespace ext {
namespace compat {

// The interpreter that the calling thread runs in.
inline PyInterpreterState* current_interpreter() noexcept {
#if EXT_COMPAT_PYPY
  return PyThreadState_Get()->interp;
#elif PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_Get();
#else
  return PyThreadState_Get()->interp;
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

// The number of entries, read from the dictionary itself.
inline Py_ssize_t dict_size(PyObject* dict) noexcept {
#if EXT_COMPAT_PYPY
  return PyDict_Size(dict);
#else
  return reinterpret_cast<PyDictObject*>(dict)->ma_used;
#endif
}

// The keys and values of a dictionary's first `count` entries, in insertion order, borrowed.
// Returns false when they cannot be read cheaply, and the caller takes a general path instead.
// Up to 3.10 a combined table keeps its entries, in insertion order, after a header and dk_size
// indices of 1 to 8 bytes each, and they are read in place; a split table or a deleted entry
// among them answers false. Later interpreters hide that layout and are walked.
inline bool dict_leading_items(PyObject* dict, Py_ssize_t count, PyObject** keys,
                               PyObject** values) noexcept {
#if EXT_COMPAT_PYPY
  // Never cheap: PyPy's PyDict_Next copies the keys out on each walk (a keyword call took three
  // times as long with it), and the keys of a call's keywords reach the C API as objects of
  // their own, never the names the module interned.
  (void)dict;
  (void)count;
  (void)keys;
  (void)values;
  return false;
#elif PY_VERSION_HEX < 0x030B0000
  struct Keys {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[8];
  };
  struct Entry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
  };
  const PyDictObject* table = reinterpret_cast<const PyDictObject*>(dict);
  if (table->ma_values) return false;
  const Keys* header = reinterpret_cast<const Keys*>(table->ma_keys);
  if (header->nentries < count) return false;
  const Py_ssize_t size = header->size;
  const Py_ssize_t width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffff ? 4 : 8;
  const Entry* entry = reinterpret_cast<const Entry*>(header->indices + size * width);
  for (Py_ssize_t i = 0; i < count; ++i, ++entry) {
    if (!entry->value) return false;
    keys[i] = entry->key;
    values[i] = entry->value;
  }
  return true;
#else
  Py_ssize_t position = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyDict_Next(dict, &position, &keys[i], &values[i])) return false;
  }
  return true;
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

// A frame of the code object over the given globals, showing the given line.
inline PyObject* new_frame(PyThreadState* thread, PyObject* code, PyObject* globals,
                           int line) noexcept {
#if EXT_COMPAT_FRAME_NEEDS_NO_PENDING_ERROR
  // 3.12's PyFrame_New asks the globals for __name__ and takes an exception that is pending
  // already for a failure of that lookup, so the caller's exception waits outside.
  PyObject* pending = PyErr_GetRaisedException();
  PyFrameObject* frame =
      PyFrame_New(thread, reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
  if (pending) {
    if (frame) {
      PyErr_SetRaisedException(pending);
    } else {
      Py_DECREF(pending);  // the frame's own failure stands, as on the other versions
    }
  }
#else
  PyFrameObject* frame =
      PyFrame_New(thread, reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
#endif
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
