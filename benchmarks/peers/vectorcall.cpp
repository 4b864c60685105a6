// The floor again, as METH_FASTCALL | METH_KEYWORDS functions: the interpreter hands over its
// argument array and a tuple of keyword names, with no tuple or dictionary built for the call.
// The least a wrapper of that calling convention can cost; public from CPython 3.7.
#include <Python.h>

#include "sample1.h"

namespace {

PyObject* vectorcall_add(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return PyLong_FromLong(add(2, 3));
}

PyObject* vectorcall_sub(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return PyLong_FromLong(sub(2, 3));
}

// The same constant-message failure as the other floor's.
PyObject* vectorcall_fail(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "an integer is required");
  return nullptr;
}

// Going through void(*)() keeps -Wcast-function-type quiet about the fast-call signature.
template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef fastcall_method(const char* name) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)),
          METH_FASTCALL | METH_KEYWORDS, nullptr};
}

PyMethodDef methods[] = {
    fastcall_method<vectorcall_add>("add"),
    fastcall_method<vectorcall_sub>("sub"),
    fastcall_method<vectorcall_fail>("fail"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "peer_vectorcall",
    nullptr,
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_peer_vectorcall() {
  return PyModule_Create(&module);
}
