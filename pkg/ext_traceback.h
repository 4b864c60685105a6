// Traceback entries for failures in native code: a cached code object per line and a frame each.
#ifndef ZELK_EXT_TRACEBACK_H
#define ZELK_EXT_TRACEBACK_H

#include <Python.h>

#include <cstdint>

#include "ext_compat.h"
#include "ext_hints.h"
#include "ext_ref.h"

// The module-wide objects that entries are built from. Each is read through its slot, since the
// module fills the slots only while it is imported (and may fail half-way).
struct Ext_TracebackContext {
  PyObject* const* runtime_module;  // holds the cline_in_traceback setting
  PyObject* const* setting_name;    // the interned string "cline_in_traceback"
  PyObject* const* globals;         // the module dictionary, globals of every entry's frame
  PyObject* const* empty_tuple;
  PyObject* const* empty_bytes;
  const char* implementing_source;  // shown with the implementing line when the setting allows
};

struct Ext_CodeObjectCacheEntry {
  PyObject* code_object;  // one reference owned by the cache
  int code_line;          // the key: a negated implementing line, or a module-source line
};

// Sorted by key, strictly ascending, never shrunk or freed: the code objects live as long as
// the process.
struct Ext_CodeObjectCache {
  int count;
  int max_count;
  Ext_CodeObjectCacheEntry* entries;
};

static Ext_CodeObjectCache ext_code_cache = {0, 0, nullptr};

// The capacity the table starts with, and the step it grows by.
static const int ext_code_cache_step = 64;

static inline PyObject* Ext_PyObject_GetAttrStr(PyObject* object, PyObject* name) {
  return ext::compat::attribute(object, name);
}

// The position of `code_line` in the table, or where it belongs. `count` is at least 1.
static inline int ext_bisect_code_objects(const Ext_CodeObjectCacheEntry* entries, int count,
                                          int code_line) {
  int end = count - 1;
  if (code_line > entries[end].code_line) return count;
  int start = 0;
  int mid = 0;
  while (start < end) {
    mid = start + (end - start) / 2;
    if (code_line < entries[mid].code_line) {
      end = mid;
    } else if (code_line > entries[mid].code_line) {
      start = mid + 1;
    } else {
      return mid;
    }
  }
  return code_line <= entries[mid].code_line ? mid : mid + 1;
}

// A new reference to the code object cached under `code_line`, or null.
static inline PyObject* ext_find_code_object(int code_line) {
  if (!code_line || !ext_code_cache.entries) return nullptr;
  const int pos = ext_bisect_code_objects(ext_code_cache.entries, ext_code_cache.count, code_line);
  if (pos >= ext_code_cache.count || ext_code_cache.entries[pos].code_line != code_line) {
    return nullptr;
  }
  PyObject* code_object = ext_code_cache.entries[pos].code_object;
  Py_INCREF(code_object);
  return code_object;
}

// Caches `code_object` under `code_line` with a reference of its own. Without memory it stores
// nothing and leaves the table as it was.
static inline void ext_insert_code_object(int code_line, PyObject* code_object) {
  if (!code_line) return;
  Ext_CodeObjectCacheEntry* entries = ext_code_cache.entries;
  if (!entries) {
    entries = static_cast<Ext_CodeObjectCacheEntry*>(
        PyMem_Malloc(ext_code_cache_step * sizeof(Ext_CodeObjectCacheEntry)));
    if (!entries) return;
    entries[0] = Ext_CodeObjectCacheEntry{code_object, code_line};
    ext_code_cache = Ext_CodeObjectCache{1, ext_code_cache_step, entries};
    Py_INCREF(code_object);
    return;
  }
  const int pos = ext_bisect_code_objects(entries, ext_code_cache.count, code_line);
  if (pos < ext_code_cache.count && entries[pos].code_line == code_line) {
    PyObject* displaced = entries[pos].code_object;
    Py_INCREF(code_object);
    entries[pos].code_object = code_object;
    Py_DECREF(displaced);
    return;
  }
  if (ext_code_cache.count == ext_code_cache.max_count) {
    const int new_max = ext_code_cache.max_count + ext_code_cache_step;
    entries = static_cast<Ext_CodeObjectCacheEntry*>(
        PyMem_Realloc(entries, static_cast<size_t>(new_max) * sizeof(Ext_CodeObjectCacheEntry)));
    if (!entries) return;
    ext_code_cache.entries = entries;
    ext_code_cache.max_count = new_max;
  }
  for (int i = ext_code_cache.count; i > pos; --i) entries[i] = entries[i - 1];
  entries[pos] = Ext_CodeObjectCacheEntry{code_object, code_line};
  ++ext_code_cache.count;
  Py_INCREF(code_object);
}

// `c_line` when the setting asks for the implementing line to be shown, else 0. Leaves the
// pending exception exactly as it found it.
static inline int Ext_CLineForTraceback(const Ext_TracebackContext& context, PyThreadState* thread,
                                        int c_line) {
  static std::uint64_t ext_dict_version = 0;
  static PyObject* ext_dict_cached_value = nullptr;  // borrowed; valid while the version holds

  PyObject* runtime_module = *context.runtime_module;
  PyObject* setting_name = *context.setting_name;
  // Early in import the setting cannot be read yet: show the line and leave the setting alone.
  if (!runtime_module || !setting_name) return c_line;

  PyObject *saved_type, *saved_value, *saved_traceback;
  Ext_ErrFetchInState(thread, &saved_type, &saved_value, &saved_traceback);

  ext::Ref use_cline;
  PyObject** dict_slot = ext::compat::instance_dict_slot(runtime_module);
  if (dict_slot && *dict_slot) {
    if (ext::compat::dict_version(*dict_slot) != ext_dict_version) {
      ext_dict_cached_value = ext::compat::dict_get_by_cached_hash(*dict_slot, setting_name);
      ext_dict_version = ext::compat::dict_version(*dict_slot);
    }
    use_cline = ext::Ref::borrow(ext_dict_cached_value);
  } else {
    ext::Ref attribute = ext::Ref::steal(Ext_PyObject_GetAttrStr(runtime_module, setting_name));
    if (!attribute) {
      PyErr_Clear();
    } else {
      use_cline = ext::Ref::borrow(PyObject_Not(attribute.get()) ? Py_False : Py_True);
    }
  }

  if (!use_cline) {
    PyObject_SetAttr(runtime_module, setting_name, Py_False);
    c_line = 0;
  } else if (use_cline.get() == Py_False) {
    c_line = 0;
  } else if (use_cline.get() != Py_True && PyObject_Not(use_cline.get())) {
    c_line = 0;  // false, or a truth test that raised
  }
  use_cline.reset();
  Ext_ErrRestoreInState(thread, saved_type, saved_value, saved_traceback);
  return c_line;
}

// A new code object naming the site, or null with the failing call's exception pending.
static inline PyObject* Ext_CreateCodeObjectForTraceback(const Ext_TracebackContext& context,
                                                         const char* funcname, int c_line,
                                                         int py_line, const char* filename) {
  ext::Ref py_srcfile = ext::Ref::steal(PyUnicode_FromString(filename));
  if (!py_srcfile) return nullptr;
  ext::Ref py_funcname = ext::Ref::steal(
      c_line ? PyUnicode_FromFormat("%s (%s:%d)", funcname, context.implementing_source, c_line)
             : PyUnicode_FromString(funcname));
  if (!py_funcname) return nullptr;
  return ext::compat::new_empty_code(py_srcfile.get(), py_funcname.get(), py_line,
                                     *context.empty_tuple, *context.empty_bytes);
}

// Whether a cached code object was made for this site. A key does not tell apart the functions
// or files that share a line, so a hit made by another site must not be shown for this one.
static inline bool ext_code_object_names_site(const Ext_TracebackContext& context,
                                              PyObject* code_object, const char* funcname,
                                              int c_line, const char* filename) {
  ext::Ref code_filename = ext::Ref::steal(ext::compat::code_filename(code_object));
  if (!code_filename || PyUnicode_CompareWithASCIIString(code_filename.get(), filename) != 0) {
    return false;
  }
  ext::Ref code_name = ext::Ref::steal(ext::compat::code_name(code_object));
  if (!code_name) return false;
  if (!c_line) return PyUnicode_CompareWithASCIIString(code_name.get(), funcname) == 0;
  char name[512];
  PyOS_snprintf(name, sizeof name, "%s (%s:%d)", funcname, context.implementing_source, c_line);
  return PyUnicode_CompareWithASCIIString(code_name.get(), name) == 0;
}

// Puts an entry for the site in front of the pending exception's traceback. Never fails: an
// entry that cannot be made is left out.
static inline EXT_COLD void Ext_AddTraceback(const Ext_TracebackContext& context,
                                             const char* funcname, int c_line, int py_line,
                                             const char* filename) {
  PyObject* globals = *context.globals;
  if (!globals) return;
  PyThreadState* thread = ext::compat::unchecked_thread_state();
  if (c_line) c_line = Ext_CLineForTraceback(context, thread, c_line);
  const int key = c_line ? -c_line : py_line;

  ext::Ref code_object = ext::Ref::steal(ext_find_code_object(key));
  if (code_object &&
      !ext_code_object_names_site(context, code_object.get(), funcname, c_line, filename)) {
    code_object.reset();
  }
  if (!code_object) {
    code_object = ext::Ref::steal(
        Ext_CreateCodeObjectForTraceback(context, funcname, c_line, py_line, filename));
    if (!code_object) return;
    ext_insert_code_object(key, code_object.get());
  }
  ext::Ref frame =
      ext::Ref::steal(ext::compat::new_frame(thread, code_object.get(), globals, py_line));
  if (!frame) return;
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

#endif  // ZELK_EXT_TRACEBACK_H
