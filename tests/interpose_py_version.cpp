// Loaded into a test interpreter as an audit library (LD_AUDIT) to make the module see another
// interpreter version: the dynamic loader asks it how to bind each of the module's references,
// and the module's reference to Py_GetVersion is bound to the stand-in below. Unlike a preloaded
// definition, this works when the executable itself carries the C API (it comes first in the
// lookup) and leaves the interpreter's own calls alone. PyPy's C API exports the function as
// PyPy_GetVersion.
#include <link.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char* fake_py_version() {
  const char* version = std::getenv("ZELK_FAKE_PY_VERSION");
  return version ? version : "3.6.15 (interposed)";
}

bool is_module(const char* path) {
  const char* name = std::strrchr(path, '/');
  return std::strncmp(name ? name + 1 : path, "zelk.", 5) == 0;
}

std::uintptr_t bind(std::uintptr_t found, const char* name) {
  if (std::strcmp(name, "Py_GetVersion") == 0 || std::strcmp(name, "PyPy_GetVersion") == 0) {
    return reinterpret_cast<std::uintptr_t>(&fake_py_version);
  }
  return found;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) unsigned int la_version(unsigned int) {
  return LAV_CURRENT;
}

// Every object may be bound to; only the module's own references are looked at.
__attribute__((visibility("default"))) unsigned int la_objopen(struct link_map* map, Lmid_t,
                                                               std::uintptr_t*) {
  return LA_FLG_BINDTO | (is_module(map->l_name) ? LA_FLG_BINDFROM : 0);
}

#if __ELF_NATIVE_CLASS == 64
__attribute__((visibility("default"))) std::uintptr_t la_symbind64(
    Elf64_Sym* symbol, unsigned int, std::uintptr_t*, std::uintptr_t*, unsigned int*,
    const char* name) {
  return bind(symbol->st_value, name);
}
#else
__attribute__((visibility("default"))) std::uintptr_t la_symbind32(
    Elf32_Sym* symbol, unsigned int, std::uintptr_t*, std::uintptr_t*, unsigned int*,
    const char* name) {
  return bind(symbol->st_value, name);
}
#endif

}  // extern "C"
