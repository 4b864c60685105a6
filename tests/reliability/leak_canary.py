"""Leaks the result of a zelk call on purpose: the sanitizer run must report it as zelk's."""
import ctypes

import zelk

result = zelk.sub(300000, 1)
ctypes.pythonapi.Py_IncRef(ctypes.py_object(result))
del result
