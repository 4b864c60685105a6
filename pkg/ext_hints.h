// Compiler hints that keep the rare paths out of the hot ones.
#ifndef ZELK_EXT_HINTS_H
#define ZELK_EXT_HINTS_H

#define EXT_LIKELY(x) __builtin_expect(!!(x), 1)
#define EXT_UNLIKELY(x) __builtin_expect(!!(x), 0)
// Out of line and laid out apart, so the caller's frame and registers stay small.
#define EXT_COLD __attribute__((noinline, cold))
// Laid out together with the other hot functions, away from the bulk of the code, and each from
// the start of a cache line, so that a call touches as few pages and cache lines of code as it
// can, wherever the linker puts the rest.
#define EXT_HOT __attribute__((hot, aligned(64)))

#endif  // ZELK_EXT_HINTS_H
