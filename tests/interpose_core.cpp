// Preloaded into a test interpreter: exports its own add and sub, which the module's calls of
// its core must not reach.
extern "C" __attribute__((visibility("default"))) int add(int, int) {
  return 1000;
}

extern "C" __attribute__((visibility("default"))) int sub(int, int) {
  return 1000;
}
