// Compiler hints that keep the rare paths out of the hot ones.
#ifndef ZELK_EXT_HINTS_H
#define ZELK_EXT_HINTS_H

#define EXT_LIKELY(x) __builtin_expect(!!(x), 1)
#define EXT_UNLIKELY(x) __builtin_expect(!!(x), 0)
// Out of line and laid out apart, so the caller's frame and registers stay small.
#define EXT_COLD __attribute__((noinline, cold))

#endif  // ZELK_EXT_HINTS_H
