// The method-table entry of a METH_VARARGS | METH_KEYWORDS function, shared by the C peers.
#ifndef ZELK_PEERS_KEYWORDS_METHOD_H
#define ZELK_PEERS_KEYWORDS_METHOD_H

#include <Python.h>

// Going through void(*)() keeps -Wcast-function-type quiet about the METH_KEYWORDS signature.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyMethodDef keywords_method(const char* name) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)),
          METH_VARARGS | METH_KEYWORDS, nullptr};
}

#endif  // ZELK_PEERS_KEYWORDS_METHOD_H
