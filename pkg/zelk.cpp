// The zelk module: its definition and import, and the two functions over the arithmetic core.
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "ext_binding.h"
#include "ext_compat.h"
#include "ext_hints.h"
#include "ext_int_conversion.h"
#include "ext_ref.h"
#include "ext_traceback.h"
#include "sample1.h"

#if ZELK_PUBLIC_API_ONLY && defined(__GNUC__) && !defined(__clang__)
// Said once by every build of the module (a note, not a warning, to GCC; clang would warn).
#pragma message("zelk " EXT_COMPAT_API_NOTE)
#endif

#define EXT_EXPORT __attribute__((visibility("default")))

// Where traceback entries point: the module's type stub, and this file for the native line.
static const char ext_module_source[] = "pkg/zelk.pyi";
static const char ext_cfilenm[] = "pkg/zelk.cpp";

// Set by an embedding host that runs the module as its main program.
extern "C" EXT_EXPORT int ext_module_is_main_zelk;
int ext_module_is_main_zelk = 0;

// Module-wide state, made by the first successful exec and kept for the life of the process.
static PyObject* ext_m = nullptr;
static PyObject* ext_d = nullptr;
static PyObject* ext_b = nullptr;
static PyObject* ext_runtime_module = nullptr;
static PyObject* ext_empty_tuple = nullptr;
static PyObject* ext_empty_bytes = nullptr;

static PyObject* ext_n_s_a = nullptr;
static PyObject* ext_n_s_add = nullptr;
static PyObject* ext_n_s_b = nullptr;
static PyObject* ext_n_s_cline_in_traceback = nullptr;
static PyObject* ext_n_s_zelk = nullptr;
static PyObject* ext_n_s_main = nullptr;
static PyObject* ext_n_s_name = nullptr;
static PyObject* ext_n_s_sub = nullptr;
static PyObject* ext_n_s_test = nullptr;

struct Ext_StringTabEntry {
  PyObject** p;
  const char* s;
  Py_ssize_t n;  // including the terminating NUL
  const char* encoding;
  char is_unicode;
  char is_str;
  char intern;
};

static const Ext_StringTabEntry ext_string_tab[] = {
    {&ext_n_s_a, "a", sizeof("a"), nullptr, 0, 1, 1},
    {&ext_n_s_add, "add", sizeof("add"), nullptr, 0, 1, 1},
    {&ext_n_s_b, "b", sizeof("b"), nullptr, 0, 1, 1},
    {&ext_n_s_cline_in_traceback, "cline_in_traceback", sizeof("cline_in_traceback"), nullptr, 0, 1,
     1},
    {&ext_n_s_zelk, "zelk", sizeof("zelk"), nullptr, 0, 1, 1},
    {&ext_n_s_main, "__main__", sizeof("__main__"), nullptr, 0, 1, 1},
    {&ext_n_s_name, "__name__", sizeof("__name__"), nullptr, 0, 1, 1},
    {&ext_n_s_sub, "sub", sizeof("sub"), nullptr, 0, 1, 1},
    {&ext_n_s_test, "__test__", sizeof("__test__"), nullptr, 0, 1, 1},
    {nullptr, nullptr, 0, nullptr, 0, 0, 0} /* sentinel */
};

static const Ext_TracebackContext ext_traceback_context = {
    &ext_runtime_module, &ext_n_s_cline_in_traceback, &ext_d, &ext_empty_tuple, &ext_empty_bytes,
    ext_cfilenm};

static void Ext_AddTraceback(const Ext_ErrorSite* site) {
  Ext_AddTraceback(ext_traceback_context, *site, ext_module_source);
}

// Records a failure of one of the functions at its site and passes the failure on.
static EXT_COLD PyObject* ext_function_failed(const Ext_ErrorSite* site) {
  Ext_AddTraceback(site);
  return nullptr;
}

// Replaces a module-wide reference, releasing what an earlier, failed import left there.
static PyObject* ext_keep(PyObject** slot, PyObject* owned) {
  PyObject* old = *slot;
  *slot = owned;
  Py_XDECREF(old);
  return owned;
}

/* add */

static const char ext_doc_4zelk_add[] = "\n    TODO: Python docstring\n    ";

static PyObject* ext_pf_4zelk_add(PyObject* /* ext_self */, int ext_v_a, int ext_v_b) {
  PyObject* result = Ext_PyInt_From_int(add(ext_v_a, ext_v_b));
  if (EXT_UNLIKELY(!result)) return ext_function_failed(EXT_SITE("zelk.add", 18));
  return result;
}

static EXT_COLD PyObject* ext_pw_4zelk_1add_failed(ext::ArgFailure failure) {
  switch (failure) {
    case ext::ArgFailure::missing_second:
      return ext_function_failed(EXT_SITE("zelk.add", 12));
    case ext::ArgFailure::bad_keyword:
      return ext_function_failed(EXT_SITE("zelk.add", 12));
    case ext::ArgFailure::convert_first:
      return ext_function_failed(EXT_SITE("zelk.add", 12));
    case ext::ArgFailure::convert_second:
      return ext_function_failed(EXT_SITE("zelk.add", 12));
    case ext::ArgFailure::wrong_count:
    case ext::ArgFailure::none:
      break;
  }
  return ext_function_failed(EXT_SITE("zelk.add", 12));
}

static EXT_HOT PyObject* ext_pw_4zelk_1add(PyObject* ext_self, PyObject* ext_args,
                                           PyObject* ext_kwds) {
  static Ext_ArgNames ext_pyargnames[] = {&ext_n_s_a, &ext_n_s_b, nullptr};
  const ext::BoundInts ext_v = ext::bind_int_pair(ext_args, ext_kwds, ext_pyargnames, "add");
  if (EXT_UNLIKELY(ext_v.failure != ext::ArgFailure::none)) {
    return ext_pw_4zelk_1add_failed(ext_v.failure);
  }
  return ext_pf_4zelk_add(ext_self, ext_v.first, ext_v.second);
}

/* sub */

static const char ext_doc_4zelk_2sub[] = "\n    TODO: Python docstring\n    ";

static PyObject* ext_pf_4zelk_2sub(PyObject* /* ext_self */, int ext_v_a, int ext_v_b) {
  PyObject* result = Ext_PyInt_From_int(sub(ext_v_a, ext_v_b));
  if (EXT_UNLIKELY(!result)) return ext_function_failed(EXT_SITE("zelk.sub", 24));
  return result;
}

static EXT_COLD PyObject* ext_pw_4zelk_3sub_failed(ext::ArgFailure failure) {
  switch (failure) {
    case ext::ArgFailure::missing_second:
      return ext_function_failed(EXT_SITE("zelk.sub", 20));
    case ext::ArgFailure::bad_keyword:
      return ext_function_failed(EXT_SITE("zelk.sub", 20));
    case ext::ArgFailure::convert_first:
      return ext_function_failed(EXT_SITE("zelk.sub", 20));
    case ext::ArgFailure::convert_second:
      return ext_function_failed(EXT_SITE("zelk.sub", 20));
    case ext::ArgFailure::wrong_count:
    case ext::ArgFailure::none:
      break;
  }
  return ext_function_failed(EXT_SITE("zelk.sub", 20));
}

static EXT_HOT PyObject* ext_pw_4zelk_3sub(PyObject* ext_self, PyObject* ext_args,
                                           PyObject* ext_kwds) {
  static Ext_ArgNames ext_pyargnames[] = {&ext_n_s_a, &ext_n_s_b, nullptr};
  const ext::BoundInts ext_v = ext::bind_int_pair(ext_args, ext_kwds, ext_pyargnames, "sub");
  if (EXT_UNLIKELY(ext_v.failure != ext::ArgFailure::none)) {
    return ext_pw_4zelk_3sub_failed(ext_v.failure);
  }
  return ext_pf_4zelk_2sub(ext_self, ext_v.first, ext_v.second);
}

// The interpreter calls both wrappers with an argument tuple and a keyword dictionary.
static PyCFunction ext_keywords_function(PyCFunctionWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

static PyMethodDef ext_mdef_4zelk_1add = {"add", ext_keywords_function(ext_pw_4zelk_1add),
                                          METH_VARARGS | METH_KEYWORDS, ext_doc_4zelk_add};
static PyMethodDef ext_mdef_4zelk_3sub = {"sub", ext_keywords_function(ext_pw_4zelk_3sub),
                                          METH_VARARGS | METH_KEYWORDS, ext_doc_4zelk_2sub};

/* import */

static int Ext_check_single_interpreter() {
  static std::int64_t main_interpreter = -1;  // none yet
  const std::int64_t current = ext::compat::interpreter_identity();
  if (current < 0) return -1;
  if (main_interpreter < 0) {
    ext::compat::remember_interpreter();
    main_interpreter = current;
  } else if (main_interpreter != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
  }
  return 0;
}

static int Ext_copy_spec_to_module(PyObject* spec, PyObject* moddict, const char* from_name,
                                   const char* to_name, int allow_none) {
  ext::Ref value = ext::Ref::steal(PyObject_GetAttrString(spec, from_name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (allow_none || value.get() != Py_None) {
    return PyDict_SetItemString(moddict, to_name, value.get());
  }
  return 0;
}

static PyObject* ext_pymod_create(PyObject* spec, PyModuleDef* /* def */) {
  if (Ext_check_single_interpreter() < 0) return nullptr;
  if (ext_m) {
    Py_INCREF(ext_m);
    return ext_m;
  }
  ext::Ref module;
  {
    ext::Ref name = ext::Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    module = ext::Ref::steal(ext::compat::new_module(name.get()));
  }
  if (!module) return nullptr;
  PyObject* moddict = PyModule_GetDict(module.get());
  if (!moddict) return nullptr;
  if (Ext_copy_spec_to_module(spec, moddict, "loader", "__loader__", 1) < 0 ||
      Ext_copy_spec_to_module(spec, moddict, "origin", "__file__", 1) < 0 ||
      Ext_copy_spec_to_module(spec, moddict, "parent", "__package__", 1) < 0 ||
      Ext_copy_spec_to_module(spec, moddict, "submodule_search_locations", "__path__", 0) < 0) {
    return nullptr;
  }
  return module.release();
}

// Warns when the running interpreter is not the one the module was built for; on the stable ABI,
// when it is not one of those the module is built for, the ABI's version and later.
static int Ext_check_binary_version() {
  char ctversion[16];
  char rtversion[16];
#if EXT_COMPAT_STABLE_ABI
  const int build_major = Py_LIMITED_API >> 24;
  const int build_minor = Py_LIMITED_API >> 16 & 0xff;
#else
  const int build_major = PY_MAJOR_VERSION;
  const int build_minor = PY_MINOR_VERSION;
#endif
  PyOS_snprintf(ctversion, sizeof ctversion, "%d.%d", build_major, build_minor);
  // The major and minor numbers, whole: "3.10" must not read as "3.1".
  const char* runtime = Py_GetVersion();
  size_t length = 0;
  for (int dots = 0; length < sizeof rtversion - 1 && runtime[length]; ++length) {
    if (runtime[length] == '.' && ++dots == 2) break;
    if (runtime[length] != '.' && (runtime[length] < '0' || runtime[length] > '9')) break;
  }
  PyOS_snprintf(rtversion, sizeof rtversion, "%.*s", static_cast<int>(length), runtime);
  if (std::strcmp(ctversion, rtversion) == 0) return 0;
#if EXT_COMPAT_STABLE_ABI
  int runtime_major = 0;
  int runtime_minor = 0;
  if (ext::compat::version_numbers(rtversion, &runtime_major, &runtime_minor) &&
      runtime_major == build_major && runtime_minor >= build_minor) {
    return 0;
  }
#endif
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compiletime version %s of module '%.100s' does not match runtime version %s",
                ctversion, "zelk", rtversion);
  return PyErr_WarnEx(ext::compat::default_warning_category(), message, 1);
}

static int Ext_InitStrings(const Ext_StringTabEntry* table) {
  for (; table->p; ++table) {
    PyObject* object;
    if (!table->is_unicode && !table->is_str) {
      object = PyBytes_FromStringAndSize(table->s, table->n - 1);
    } else if (table->intern) {
      object = PyUnicode_InternFromString(table->s);
    } else if (table->encoding) {
      object = PyUnicode_Decode(table->s, table->n - 1, table->encoding, nullptr);
    } else {
      object = PyUnicode_FromStringAndSize(table->s, table->n - 1);
    }
    if (!ext_keep(table->p, object)) return -1;
    // Computed once here, so that readers can rely on the cached hash.
    if (PyObject_Hash(object) == -1) return -1;
  }
  return 0;
}

// Unwinds a failed exec after the pending exception was raised at a site.
static EXT_COLD int ext_exec_failed(const Ext_ErrorSite* site) {
  if (ext_m) {
    if (ext_d) Ext_AddTraceback(site);
    // A half-initialised module must not stay registered where later imports would find it.
    PyObject* modules = PyImport_GetModuleDict();
    if (modules && ext_n_s_zelk && PyDict_GetItem(modules, ext_n_s_zelk) == ext_m) {
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      if (PyDict_DelItem(modules, ext_n_s_zelk) < 0) PyErr_Clear();
      PyErr_Restore(type, value, traceback);
    }
    Py_CLEAR(ext_m);
  } else if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, "init zelk");
  }
  return -1;
}

// Stores a new object in the module dictionary, which then holds the only reference.
static int ext_store_in_module(PyObject* name, PyObject* owned) {
  const int stored = PyDict_SetItem(ext_d, name, owned);
  Py_DECREF(owned);
  return stored;
}

static int ext_pymod_exec_zelk(PyObject* ext_pyinit_module) {
  if (ext_m) {
    if (ext_m == ext_pyinit_module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'zelk' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  if (Ext_check_binary_version() < 0) return ext_exec_failed(EXT_SITE("init zelk", 1));
  if (!ext_keep(&ext_empty_tuple, PyTuple_New(0))) return ext_exec_failed(EXT_SITE("init zelk", 1));
  if (!ext_keep(&ext_empty_bytes, PyBytes_FromStringAndSize("", 0))) {
    return ext_exec_failed(EXT_SITE("init zelk", 1));
  }

  Py_INCREF(ext_pyinit_module);
  ext_m = ext_pyinit_module;
  PyObject* moddict = PyModule_GetDict(ext_m);
  if (!moddict) return ext_exec_failed(EXT_SITE("init zelk", 1));
  Py_INCREF(moddict);
  ext_keep(&ext_d, moddict);
#if EXT_COMPAT_STABLE_ABI
  // Every site's entry is made here, before any later step can fail.
  if (Ext_MakeTracebackEntries(ext_traceback_context, ext_module_source) < 0) {
    return ext_exec_failed(EXT_SITE("init zelk", 1));
  }
#endif
  // Stored even when null, like the other statics: after a failure to get the runtime module
  // none is held, and the failure's traceback entry shows the native line.
  PyObject* builtins = PyImport_AddModule("builtins");
  Py_XINCREF(builtins);
  if (!ext_keep(&ext_b, builtins)) return ext_exec_failed(EXT_SITE("init zelk", 1));
  PyObject* runtime = PyImport_AddModule("ext_runtime");
  Py_XINCREF(runtime);
  if (!ext_keep(&ext_runtime_module, runtime)) return ext_exec_failed(EXT_SITE("init zelk", 1));
  if (PyObject_SetAttrString(ext_m, "__builtins__", ext_b) < 0) {
    return ext_exec_failed(EXT_SITE("init zelk", 1));
  }
  if (Ext_InitStrings(ext_string_tab) < 0) return ext_exec_failed(EXT_SITE("init zelk", 1));

  if (ext_module_is_main_zelk && PyObject_SetAttr(ext_m, ext_n_s_name, ext_n_s_main) < 0) {
    return ext_exec_failed(EXT_SITE("init zelk", 1));
  }
  PyObject* modules = PyImport_GetModuleDict();
  if (!modules) return ext_exec_failed(EXT_SITE("init zelk", 1));
  if (!PyDict_GetItemWithError(modules, ext_n_s_zelk)) {
    if (PyErr_Occurred() || PyDict_SetItem(modules, ext_n_s_zelk, ext_m) < 0) {
      return ext_exec_failed(EXT_SITE("init zelk", 1));
    }
  }

  PyObject* function = PyCFunction_NewEx(&ext_mdef_4zelk_1add, nullptr, ext_n_s_zelk);
  if (!function) return ext_exec_failed(EXT_SITE("init zelk", 12));
  if (ext_store_in_module(ext_n_s_add, function) < 0) {
    return ext_exec_failed(EXT_SITE("init zelk", 12));
  }
  function = PyCFunction_NewEx(&ext_mdef_4zelk_3sub, nullptr, ext_n_s_zelk);
  if (!function) return ext_exec_failed(EXT_SITE("init zelk", 20));
  if (ext_store_in_module(ext_n_s_sub, function) < 0) {
    return ext_exec_failed(EXT_SITE("init zelk", 20));
  }
  PyObject* test_dict = PyDict_New();
  if (!test_dict) return ext_exec_failed(EXT_SITE("init zelk", 1));
  if (ext_store_in_module(ext_n_s_test, test_dict) < 0) {
    return ext_exec_failed(EXT_SITE("init zelk", 1));
  }
  return 0;
}

static PyMethodDef ext_methods[] = {{nullptr, nullptr, 0, nullptr} /* sentinel */};

static PyModuleDef_Slot ext_moduledef_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(ext_pymod_create)},
    {Py_mod_exec, reinterpret_cast<void*>(ext_pymod_exec_zelk)},
    {0, nullptr} /* sentinel */
};

static PyModuleDef ext_moduledef = {
    PyModuleDef_HEAD_INIT,
    "zelk",              /* m_name */
    nullptr,             /* m_doc */
    0,                   /* m_size */
    ext_methods,         /* m_methods */
    ext_moduledef_slots, /* m_slots */
    nullptr,             /* m_traverse */
    nullptr,             /* m_clear */
    nullptr,             /* m_free */
};

extern "C" EXT_EXPORT PyObject* PyInit_zelk(void) {
  return PyModuleDef_Init(&ext_moduledef);
}
