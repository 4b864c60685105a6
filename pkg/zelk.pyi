# Type stub of zelk: 32-bit integer arithmetic over a native core.
#
# Both functions take exactly two arguments, by position or by the keywords a
# and b. Each argument is an int, or an object whose __int__ gives one, and
# must fit a signed 32-bit C int. Results wrap around modulo 2**32.
# Traceback entries of failed calls point at the lines below: a failure to
# bind or convert the arguments at the def line, a failure to return the
# result at the line that stands for the call of the core.

from typing import Dict, SupportsInt

def add(a: SupportsInt, b: SupportsInt) -> int:
    """
    TODO: Python docstring
    """
    # The core writes "Add" to the process's C stdout (not sys.stdout),
    # unflushed, then returns the wrapped sum.
    ...  # return add(int(a), int(b)) in the native core

def sub(a: SupportsInt, b: SupportsInt) -> int:
    """
    TODO: Python docstring
    """
    ...  # return sub(int(a), int(b)) in the native core

# Read by doctest; the module has no doctests, so the table is empty.
__test__: Dict[str, str]
