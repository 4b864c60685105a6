"""A short tour of zelk: run it with the built module on the import path."""

import contextlib
import ctypes
import io
import sys
import traceback

import zelk

libc = ctypes.CDLL(None)


def show(text, value):
    print("{:<34} -> {!r}".format(text, value))


def flush_c_stdout():
    """zelk.add writes to the C library's stdout; make it appear now, after Python's output."""
    sys.stdout.flush()
    libc.fflush(None)


print("By position and by keyword")
show("zelk.sub(7, 5)", zelk.sub(7, 5))
show("zelk.sub(b=5, a=7)", zelk.sub(b=5, a=7))
show("zelk.sub(7, b=5)", zelk.sub(7, b=5))
show("zelk.sub(2.9, 1)  (float via __int__)", zelk.sub(2.9, 1))

print("\n32-bit arithmetic wraps around")
show("zelk.sub(-2147483648, 1)", zelk.sub(-2147483648, 1))
show("zelk.sub(0, -2147483648)", zelk.sub(0, -2147483648))

print("\nzelk.add writes 'Add' to C stdout, not to sys.stdout")
captured = io.StringIO()
with contextlib.redirect_stdout(captured):
    total = zelk.add(2, 3)
show("zelk.add(2, 3)", total)
show("captured from sys.stdout", captured.getvalue())
print("the C stream, flushed now: ", end="")
flush_c_stdout()
print()
show("zelk.add(2147483647, 1)", zelk.add(2147483647, 1))
flush_c_stdout()
print("  <- 'Add' again, from the call above")

print("\nBad calls raise with exact messages")
for call in ("zelk.add(1)", "zelk.add(2, a=3)", "zelk.add(2, 3, c=4)",
             "zelk.sub(2**31, 0)", "zelk.sub('x', 1)"):
    try:
        eval(call)
    except (TypeError, OverflowError) as error:
        show(call, "{}: {}".format(type(error).__name__, error))

print("\nA failed call's traceback points at the module's stub, pkg/zelk.pyi")
try:
    zelk.sub(1, b=None)
except TypeError:
    traceback.print_exc(file=sys.stdout)
