// Preloaded into a test interpreter to make it report another version: the module's version
// check asks Py_GetVersion, and a preloaded definition comes first in the dynamic lookup. PyPy's
// C API exports the function as PyPy_GetVersion.
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) const char* Py_GetVersion() {
  const char* version = std::getenv("ZELK_FAKE_PY_VERSION");
  return version ? version : "3.6.15 (interposed)";
}

extern "C" __attribute__((visibility("default"))) const char* PyPy_GetVersion() {
  return Py_GetVersion();
}
