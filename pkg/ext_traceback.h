// Traceback entries for failures in native code: a cached code object per line and a frame each;
// on the stable ABI, a frame per error site made at exec.
#ifndef ZELK_EXT_TRACEBACK_H
#define ZELK_EXT_TRACEBACK_H

#include <Python.h>

#include <cstdint>
#include <cstring>

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

// An error site: the function-name string, the implementing-source line where the failure is
// detected and the module-source line its work belongs to. EXT_SITE makes one where it stands and
// lists it in a section of the shared object, where exec finds every site.
struct Ext_ErrorSite {
  const char* funcname;
  int c_line;
  int py_line;
  // The stable ABI's entries, made at exec: the site named by its function, and with its line.
  PyObject* hidden_entry;
  PyObject* shown_entry;
};
#define EXT_SITE(funcname, py_line)                                                      \
  ([]() noexcept {                                                                       \
    static Ext_ErrorSite ext_site = {funcname, __LINE__, py_line, nullptr, nullptr};     \
    static Ext_ErrorSite* ext_listed __attribute__((section("ext_error_sites"), used)) = \
        &ext_site;                                                                       \
    return &ext_site;                                                                    \
  }())
// The linker's bounds of that section.
extern "C" Ext_ErrorSite* __start_ext_error_sites[] __attribute__((visibility("hidden")));
extern "C" Ext_ErrorSite* __stop_ext_error_sites[] __attribute__((visibility("hidden")));

#if !EXT_COMPAT_STABLE_ABI
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

#endif  // !EXT_COMPAT_STABLE_ABI

static inline PyObject* Ext_PyObject_GetAttrStr(PyObject* object, PyObject* name) {
  return ext::compat::attribute(object, name);
}

#if !EXT_COMPAT_STABLE_ABI
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

#endif  // !EXT_COMPAT_STABLE_ABI

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

#if !EXT_COMPAT_STABLE_ABI
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

static inline void Ext_AddTraceback(const Ext_TracebackContext& context, const Ext_ErrorSite& site,
                                    const char* filename) {
  Ext_AddTraceback(context, site.funcname, site.c_line, site.py_line, filename);
}

#else   // EXT_COMPAT_STABLE_ABI
// The limited API makes neither code objects nor frames. At exec, each site gets the frame of a
// function compiled to stand on the site's module-source line and renamed for the site (one
// named by its function, one with its implementing line too); a failure puts that frame in front
// of the pending exception's traceback, as the interpreter does with a frame of its own. Nothing
// runs at a failure: no bytecode, no compiler. A site's entries share its frame.

// The code of `def f(): yield` on each module-source line that a site names, by line: compiled
// once for the process, by the first exec that gets so far. Compiling while allocations fail is
// not safe on every interpreter; an exec that follows a failed one compiles nothing. The entries,
// like the code-object cache, are made once for the process too (an exec that failed half-way
// leaves the rest to the next one): their frames keep the globals of the exec that made them.
static PyObject* ext_entry_templates = nullptr;
// The entries' generators, kept unstarted for ever: their frames stay as made.
static PyObject* ext_entry_generators = nullptr;

static inline bool ext_site_names_line(int line) {
  for (Ext_ErrorSite** site = __start_ext_error_sites; site != __stop_ext_error_sites; ++site) {
    if ((*site)->py_line == line) return true;
  }
  return false;
}

static inline PyObject* ext_compile_entry_templates(const char* filename, PyObject* globals) {
  static const char definition[] = "def f(): yield\n";
  int last_line = 0;
  for (Ext_ErrorSite** site = __start_ext_error_sites; site != __stop_ext_error_sites; ++site) {
    if ((*site)->py_line > last_line) last_line = (*site)->py_line;
  }
  // Room for a definition on every line, at most.
  char* source = static_cast<char*>(PyMem_Malloc(last_line * (sizeof definition - 1) + 1));
  if (!source) return PyErr_NoMemory();
  char* end = source;
  for (int line = 1; line <= last_line; ++line) {
    if (ext_site_names_line(line)) {
      std::memcpy(end, definition, sizeof definition - 1);
      end += sizeof definition - 1;
    } else {
      *end++ = '\n';
    }
  }
  *end = '\0';
  ext::Ref module_code = ext::Ref::steal(Py_CompileString(source, filename, Py_file_input));
  PyMem_Free(source);
  if (!module_code) return nullptr;
  // Run in a namespace of its own, for a function to learn the interpreter's functions from.
  ext::Ref names = ext::Ref::steal(PyDict_New());
  if (!names) return nullptr;
  ext::Ref done = ext::Ref::steal(PyEval_EvalCode(module_code.get(), globals, names.get()));
  if (!done) return nullptr;
  PyObject* function = PyDict_GetItemString(names.get(), "f");
  if (!function || ext::compat::learn_interpreter(module_code.get(), function) < 0) return nullptr;
  ext::Ref constants = ext::Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
  ext::Ref templates = ext::Ref::steal(PyDict_New());
  if (!constants || !templates) return nullptr;
  PyObject* code_type = ext::compat::running_interpreter().code_type;
  const Py_ssize_t count = PySequence_Size(constants.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    ext::Ref constant = ext::Ref::steal(PySequence_GetItem(constants.get(), i));
    if (!constant) return nullptr;
    if (reinterpret_cast<PyObject*>(Py_TYPE(constant.get())) != code_type) continue;
    ext::Ref line = ext::Ref::steal(PyObject_GetAttrString(constant.get(), "co_firstlineno"));
    if (!line || PyDict_SetItem(templates.get(), line.get(), constant.get()) < 0) return nullptr;
  }
  return count < 0 ? nullptr : templates.release();
}

// The frame of a new function of `code` renamed `name`, over `globals`: a new reference, or null
// with an exception pending. The frame belongs to the function's generator, kept unstarted: it
// shows the first line, and runs nothing.
static inline PyObject* ext_entry_frame(PyObject* code, PyObject* name, PyObject* globals) {
  ext::Ref named = ext::Ref::steal(ext::compat::code_named(code, name));
  if (!named) return nullptr;
  ext::Ref function = ext::Ref::steal(PyObject_CallFunctionObjArgs(
      ext::compat::running_interpreter().function_type, named.get(), globals, nullptr));
  if (!function) return nullptr;
  ext::Ref generator = ext::Ref::steal(PyObject_CallObject(function.get(), nullptr));
  if (!generator) return nullptr;
  ext::Ref frame = ext::Ref::steal(PyObject_GetAttrString(generator.get(), "gi_frame"));
  if (!frame || PyList_Append(ext_entry_generators, generator.get()) < 0) return nullptr;
  return frame.release();
}

static inline int ext_make_traceback_entries(const Ext_TracebackContext& context,
                                             const char* filename) {
  if (!ext_entry_generators) ext_entry_generators = PyList_New(0);
  if (!ext_entry_generators) return -1;
  if (!ext_entry_templates) {
    ext_entry_templates = ext_compile_entry_templates(filename, *context.globals);
  }
  if (!ext_entry_templates) return -1;
  for (Ext_ErrorSite** listed = __start_ext_error_sites; listed != __stop_ext_error_sites;
       ++listed) {
    Ext_ErrorSite& site = **listed;
    if (site.shown_entry) continue;
    ext::Ref line = ext::Ref::steal(PyLong_FromLong(site.py_line));
    if (!line) return -1;
    PyObject* code = PyDict_GetItemWithError(ext_entry_templates, line.get());
    if (!code) {
      if (PyErr_Occurred()) return -1;
      continue;  // a site at line 0: no entry
    }
    // One frame for every site of a function on one line, as they share one name there.
    for (Ext_ErrorSite** other = __start_ext_error_sites; other != listed && !site.hidden_entry;
         ++other) {
      if ((*other)->hidden_entry && (*other)->py_line == site.py_line &&
          std::strcmp((*other)->funcname, site.funcname) == 0) {
        site.hidden_entry = (*other)->hidden_entry;
        Py_INCREF(site.hidden_entry);
      }
    }
    if (!site.hidden_entry) {
      ext::Ref name = ext::Ref::steal(PyUnicode_FromString(site.funcname));
      if (!name) return -1;
      site.hidden_entry = ext_entry_frame(code, name.get(), *context.globals);
      if (!site.hidden_entry) return -1;
    }
    ext::Ref name = ext::Ref::steal(PyUnicode_FromFormat("%s (%s:%d)", site.funcname,
                                                         context.implementing_source, site.c_line));
    if (!name) return -1;
    site.shown_entry = ext_entry_frame(code, name.get(), *context.globals);
    if (!site.shown_entry) return -1;
  }
  return 0;
}

// Makes the entries of every site that has none yet, over the module dictionary that
// `context.globals` holds: 0, or -1 with an exception pending (the sites made so far keep theirs).
// A failure comes without the traceback that running the entries' code gave it.
static inline int Ext_MakeTracebackEntries(const Ext_TracebackContext& context,
                                           const char* filename) {
  if (ext_make_traceback_entries(context, filename) == 0) return 0;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Py_XDECREF(traceback);
  if (value && PyExceptionInstance_Check(value)) PyException_SetTraceback(value, Py_None);
  PyErr_Restore(type, value, nullptr);
  return -1;
}

// Puts the site's entry in front of the pending exception's traceback. Never fails: an entry
// that cannot be made is left out.
static inline EXT_COLD void Ext_AddTraceback(const Ext_TracebackContext& context,
                                             const Ext_ErrorSite& site,
                                             const char* /* filename */) {
  if (!*context.globals) return;
  PyThreadState* thread = ext::compat::unchecked_thread_state();
  const int c_line = site.c_line ? Ext_CLineForTraceback(context, thread, site.c_line) : 0;
  PyObject* frame = c_line ? site.shown_entry : site.hidden_entry;
  if (frame) PyTraceBack_Here(reinterpret_cast<struct _frame*>(frame));
}
#endif  // EXT_COMPAT_STABLE_ABI

#endif  // ZELK_EXT_TRACEBACK_H
