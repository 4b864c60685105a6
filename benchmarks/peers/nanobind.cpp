// nanobind peer: the core functions bound directly, with named arguments.
#include <nanobind/nanobind.h>

#include "sample1.h"

namespace nb = nanobind;

NB_MODULE(peer_nanobind, m) {
  m.def("add", &add, nb::arg("a"), nb::arg("b"));
  m.def("sub", &sub, nb::arg("a"), nb::arg("b"));
}
