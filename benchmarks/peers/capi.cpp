// The conventional hand-written wrapper: PyArg_ParseTupleAndKeywords with "ii".
#include <Python.h>

#include "keywords_method.h"
#include "sample1.h"

namespace {

// Older CPython headers take a non-const keyword list.
const char* kwlist[] = {"a", "b", nullptr};

PyObject* capi_add(PyObject*, PyObject* args, PyObject* kwargs) {
  int a = 0;
  int b = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii", const_cast<char**>(kwlist), &a, &b))
    return nullptr;
  return PyLong_FromLong(add(a, b));
}

PyObject* capi_sub(PyObject*, PyObject* args, PyObject* kwargs) {
  int a = 0;
  int b = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii", const_cast<char**>(kwlist), &a, &b))
    return nullptr;
  return PyLong_FromLong(sub(a, b));
}

PyMethodDef methods[] = {
    keywords_method<capi_add>("add"),
    keywords_method<capi_sub>("sub"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "peer_capi", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

// Built with hidden visibility: the init function is the one symbol the interpreter looks up.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_peer_capi() {
  return PyModule_Create(&module);
}
