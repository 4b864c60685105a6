"""Leaks the result of a zelk call on purpose: the sanitizer run must report it as zelk's."""
import ctypes
import itertools

import zelk

# From 3.14 freed ints are kept for reuse, and a reused one shows where it was first allocated:
# results held until that store is empty make the leaked one a new allocation of zelk's.
held = [zelk.sub(300000, 1) for _ in itertools.repeat(None, 600)]
result = zelk.sub(300000, 1)
ctypes.pythonapi.Py_IncRef(ctypes.py_object(result))
del result
