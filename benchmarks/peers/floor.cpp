// Lower bound for any METH_VARARGS | METH_KEYWORDS wrapper of the core: the interpreter builds
// the argument tuple (and keyword dict) and we box the core's result, with no argument work.
#include <Python.h>

#include "keywords_method.h"
#include "sample1.h"

namespace {

PyObject* floor_add(PyObject*, PyObject*, PyObject*) {
  return PyLong_FromLong(add(2, 3));
}

PyObject* floor_sub(PyObject*, PyObject*, PyObject*) {
  return PyLong_FromLong(sub(2, 3));
}

// The cheapest possible failure: a constant message, nothing formatted or inspected.
PyObject* floor_fail(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "an integer is required");
  return nullptr;
}

PyMethodDef methods[] = {
    keywords_method<floor_add>("add"),
    keywords_method<floor_sub>("sub"),
    keywords_method<floor_fail>("fail"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "peer_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

// Built with hidden visibility: the init function is the one symbol the interpreter looks up.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_peer_floor() {
  return PyModule_Create(&module);
}
