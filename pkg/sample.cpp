// The arithmetic core: two plain functions with C linkage, free of any interpreter state.
#include "sample1.h"

#include <cstdio>

// Computed in unsigned arithmetic so the wrap-around modulo 2^32 never depends on build flags.
static int wrap_to_int(unsigned int value) {
  return static_cast<int>(value);
}

extern "C" __attribute__((visibility("default"))) int add(int a, int b) {
  // Buffered and deliberately unflushed: callers see "Add" when the C stream is flushed.
  std::printf("Add");
  return wrap_to_int(static_cast<unsigned int>(a) + static_cast<unsigned int>(b));
}

extern "C" __attribute__((visibility("default"))) int sub(int a, int b) {
  return wrap_to_int(static_cast<unsigned int>(a) - static_cast<unsigned int>(b));
}
