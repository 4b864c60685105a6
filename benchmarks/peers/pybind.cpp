// pybind11 peer: the core functions bound directly, with named arguments.
#include <pybind11/pybind11.h>

#include "sample1.h"

namespace py = pybind11;

PYBIND11_MODULE(peer_pybind11, m) {
  m.def("add", &add, py::arg("a"), py::arg("b"));
  m.def("sub", &sub, py::arg("a"), py::arg("b"));
}
