// The interpreter internals this module reads directly, one small function for each.
#ifndef ZELK_EXT_COMPAT_H
#define ZELK_EXT_COMPAT_H

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

namespace ext {
namespace compat {

// The interpreter that the calling thread runs in.
inline PyInterpreterState* current_interpreter() noexcept {
  return PyThreadState_Get()->interp;
}

// The calling thread's state, without the check that one exists.
inline PyThreadState* unchecked_thread_state() noexcept {
  return _PyThreadState_UncheckedGet();
}

// An int's digit count, negative for a negative value, and its digits (least significant
// first, PyLong_SHIFT bits each).
inline Py_ssize_t long_signed_digit_count(PyObject* value) noexcept {
  return Py_SIZE(value);
}
inline std::uint64_t long_digit(PyObject* value, int index) noexcept {
  return reinterpret_cast<PyLongObject*>(value)->ob_digit[index];
}

// Changes whenever the dictionary changes; never 0 for a live dictionary.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// The number of entries, read from the dictionary itself.
inline Py_ssize_t dict_size(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_used;
}

// Looks a string key up by the hash cached in the string object: borrowed, or null when absent
// or when the lookup failed.
inline PyObject* dict_get_by_cached_hash(PyObject* dict, PyObject* key) noexcept {
  return _PyDict_GetItem_KnownHash(dict, key, reinterpret_cast<PyASCIIObject*>(key)->hash);
}

}  // namespace compat
}  // namespace ext

// Moves the thread's pending exception out; the caller owns the three references.
static inline void Ext_ErrFetchInState(PyThreadState* thread, PyObject** type, PyObject** value,
                                       PyObject** traceback) noexcept {
  *type = thread->curexc_type;
  *value = thread->curexc_value;
  *traceback = thread->curexc_traceback;
  thread->curexc_type = nullptr;
  thread->curexc_value = nullptr;
  thread->curexc_traceback = nullptr;
}

// Makes the three references the thread's pending exception, then releases what was there.
static inline void Ext_ErrRestoreInState(PyThreadState* thread, PyObject* type, PyObject* value,
                                         PyObject* traceback) noexcept {
  PyObject* old_type = thread->curexc_type;
  PyObject* old_value = thread->curexc_value;
  PyObject* old_traceback = thread->curexc_traceback;
  thread->curexc_type = type;
  thread->curexc_value = value;
  thread->curexc_traceback = traceback;
  Py_XDECREF(old_type);
  Py_XDECREF(old_value);
  Py_XDECREF(old_traceback);
}

namespace ext {
namespace compat {

// A code object with no code, used only to give a traceback entry its file, name and line.
inline PyObject* new_empty_code(PyObject* filename, PyObject* name, int first_line,
                                PyObject* empty_tuple, PyObject* empty_bytes) noexcept {
  return reinterpret_cast<PyObject*>(PyCode_New(0, 0, 0, 0, 0, empty_bytes, empty_tuple,
                                                empty_tuple, empty_tuple, empty_tuple, empty_tuple,
                                                filename, name, first_line, empty_bytes));
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
  PyFrameObject* frame =
      PyFrame_New(thread, reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
  if (frame) frame->f_lineno = line;
  return reinterpret_cast<PyObject*>(frame);
}

}  // namespace compat
}  // namespace ext

#endif  // ZELK_EXT_COMPAT_H
