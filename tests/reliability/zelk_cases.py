"""Every path through zelk.add and zelk.sub as a table of calls and expected outcomes.

Shared by the reliability scripts: walk_paths.py runs each case once and checks it,
nomemory_calls.py runs each under failing allocations, soak.py runs them a million times.
A case is (name, thunk, expected); `expected` is ("ok", value, writes_add) or
("raise", exception type, exact message).
"""
import ctypes
import sys
import warnings

import zelk

MODULE_SOURCE = "pkg/zelk.pyi"
IMPLEMENTING_SOURCE = "pkg/zelk.cpp"
DEF_LINE = {"add": 12, "sub": 20}
# The definition line, and the line of the core call where a failure to box the result is put.
FUNCTION_LINES = {"add": (12, 18), "sub": (20, 24)}

# Calls the function with the very dictionary given as its keywords (a Python-level call
# f(**d) hands the function a copy), and with keys that the call syntax refuses.
_object_call = ctypes.pythonapi.PyObject_Call
_object_call.restype = ctypes.py_object
_object_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def call_with_dict(function, args, kwds):
    return _object_call(function, tuple(args), kwds)


class IntTo:
    """__int__ gives a fixed object."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IntRaises:
    def __int__(self):
        raise ValueError("no int here")


class MyInt(int):
    pass


class FinalCounted(int):
    """An int subclass that counts its finalisations."""

    finalised = 0

    def __del__(self):
        FinalCounted.finalised += 1


class IntMakesCounted:
    """__int__ gives a new FinalCounted each time (a deprecated but accepted result)."""

    made = 0

    def __init__(self, value):
        self.value = value

    def __int__(self):
        IntMakesCounted.made += 1
        return FinalCounted(self.value)


class ClearsDict:
    """__int__ empties the keyword dictionary it was called from, then gives a value."""

    def __init__(self, kwds, value):
        self.kwds = kwds
        self.value = value

    def __int__(self):
        self.kwds.clear()
        return self.value


class Key(str):
    """A keyword key that is a str subclass."""


class OddHashKey(str):
    """A str-subclass key whose hash differs from its text's."""

    def __hash__(self):
        return str.__hash__(self) ^ 0x5A5A


def count_error(function, given):
    return ("raise", TypeError,
            "%s() takes exactly 2 positional arguments (%d given)" % (function, given))


NEED_INT = ("raise", TypeError, "an integer is required")
TOO_LARGE = ("raise", OverflowError, "value too large to convert to int")
C_LONG = ("raise", OverflowError, "Python int too large to convert to C long")
DEPRECATED_BOOL = (
    "raise", DeprecationWarning,
    "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python.")


def ok(value, function):
    return ("ok", value, function == "add")


def _wrap(value):
    return (value + 2 ** 31) % 2 ** 32 - 2 ** 31


def _with_warnings_as(action, thunk):
    """Runs `thunk` with DeprecationWarning handled by `action`; callers that set the filter
    themselves call `run.inner` under `run.action`."""
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter(action)
            return thunk()
    run.action = action
    run.inner = thunk
    return run


def _fresh_a():
    return "".join(["a"])  # equal to the interned "a" but another object


def build_cases():
    """The cases of both functions: (name, thunk, expected)."""
    cases = []
    for fname in ("add", "sub"):
        f = getattr(zelk, fname)
        op = (lambda x, y: _wrap(x + y)) if fname == "add" else (lambda x, y: _wrap(x - y))

        def case(name, thunk, expected, fname=fname):
            cases.append(("%s:%s" % (fname, name), thunk, expected))

        # Binding: every way of giving the two arguments.
        case("positional", lambda f=f: f(7, 5), ok(op(7, 5), fname))
        case("keywords", lambda f=f: f(a=7, b=5), ok(op(7, 5), fname))
        case("keywords reversed", lambda f=f: f(b=5, a=7), ok(op(7, 5), fname))
        case("mixed", lambda f=f: f(7, b=5), ok(op(7, 5), fname))
        case("empty keyword dict", lambda f=f: call_with_dict(f, (7, 5), {}), ok(op(7, 5), fname))
        case("run-time key a", lambda f=f: call_with_dict(f, (), {_fresh_a(): 7, "b": 5}),
             ok(op(7, 5), fname))
        case("str-subclass key a",
             lambda f=f: call_with_dict(f, (), {"b": 5, Key("a"): 7}), ok(op(7, 5), fname))
        case("str-subclass key b", lambda f=f: call_with_dict(f, (7,), {Key("b"): 5}),
             ok(op(7, 5), fname))
        # A key that spells "a" under another hash: the lookups miss it, the matcher binds it
        # over the value that the lookup found.
        case("key spelling a found by the matcher",
             lambda f=f: call_with_dict(f, (), {"a": 1, "b": 5, OddHashKey("a"): 7}),
             ok(op(7, 5), fname))
        case("key spelling b missed by the lookup",
             lambda f=f: call_with_dict(f, (7,), {OddHashKey("b"): 5}), count_error(fname, 1))
        case("key spelling a clashes with position",
             lambda f=f: call_with_dict(f, (7,), {"b": 5, OddHashKey("a"): 7}),
             ("raise", TypeError, "%s() got multiple values for keyword argument 'a'" % fname))
        # Argument count.
        case("no arguments", lambda f=f: f(), count_error(fname, 0))
        case("one argument", lambda f=f: f(1), count_error(fname, 1))
        case("three arguments", lambda f=f: f(1, 2, 3), count_error(fname, 3))
        case("three and a keyword", lambda f=f: f(1, 2, 3, b=4), count_error(fname, 3))
        case("only b", lambda f=f: f(b=3), count_error(fname, 0))
        case("only a", lambda f=f: f(a=2), count_error(fname, 1))
        case("positional a and keyword a", lambda f=f: f(2, a=3), count_error(fname, 1))
        # Keyword matcher.
        case("multiple values", lambda f=f: f(2, 3, a=4),
             ("raise", TypeError, "%s() got multiple values for keyword argument 'a'" % fname))
        case("multiple values after b", lambda f=f: f(2, b=3, a=4),
             ("raise", TypeError, "%s() got multiple values for keyword argument 'a'" % fname))
        case("unexpected keyword", lambda f=f: f(a=2, b=3, c=4),
             ("raise", TypeError, "%s() got an unexpected keyword argument 'c'" % fname))
        case("first offender named", lambda f=f: f(1, 2, c=3, a=4),
             ("raise", TypeError, "%s() got an unexpected keyword argument 'c'" % fname))
        case("non-str key", lambda f=f: call_with_dict(f, (1, 2), {1: 2}),
             ("raise", TypeError, "%s() keywords must be strings" % fname))
        case("str-subclass unexpected key",
             lambda f=f: call_with_dict(f, (1, 2), {Key("zz"): 2}),
             ("raise", TypeError, "%s() got an unexpected keyword argument 'zz'" % fname))
        # Conversion: the fast path's digit counts and the 32- and 64-bit edges.
        for x in (0, 1, -1, 2 ** 30 - 1, 2 ** 30, -(2 ** 30), 2 ** 31 - 1, -(2 ** 31), True,
                  MyInt(-5), MyInt(2 ** 31 - 1)):
            case("a=%r" % (x,), lambda f=f, x=x: f(x, 1), ok(op(int(x), 1), fname))
        for x in (2 ** 31, -(2 ** 31) - 1, 2 ** 60, -(2 ** 60), 2 ** 62, 2 ** 63 - 1,
                  -(2 ** 63), MyInt(2 ** 40)):
            case("a=%r" % (x,), lambda f=f, x=x: f(x, 1), TOO_LARGE)
            case("b=%r" % (x,), lambda f=f, x=x: f(1, b=x), TOO_LARGE)
        for x in (2 ** 64, -(2 ** 63) - 1, 2 ** 100):
            case("a=%r" % (x,), lambda f=f, x=x: f(x, 1), C_LONG)
        case("float", lambda f=f: f(2.9, -2.9), ok(op(2, -2), fname))
        case("__int__ gives int", lambda f=f: f(IntTo(6), b=IntTo(-3)), ok(op(6, -3), fname))
        case("__int__ gives a huge int", lambda f=f: f(IntTo(2 ** 40), 1), TOO_LARGE)
        case("__int__ gives str", lambda f=f: f(1, IntTo("7")),
             ("raise", TypeError, "__int__ returned non-int (type str)"))
        case("__int__ raises", lambda f=f: f(IntRaises(), 1),
             ("raise", ValueError, "no int here"))
        case("both bad, a reported", lambda f=f: f("x", IntRaises()), NEED_INT)
        case("str", lambda f=f: f(1, "2"), NEED_INT)
        case("None", lambda f=f: f(None, 1), NEED_INT)
        case("__int__ gives bool, ignored",
             _with_warnings_as("ignore", lambda f=f: f(IntTo(True), 4)), ok(op(1, 4), fname))
        case("__int__ gives bool, error",
             _with_warnings_as("error", lambda f=f: f(IntTo(True), 4)), DEPRECATED_BOOL)
        case("__int__ gives int subclass, ignored",
             _with_warnings_as("ignore", lambda f=f: f(5, IntMakesCounted(9))),
             ok(op(5, 9), fname))
        case("__int__ gives bad int subclass, ignored",
             _with_warnings_as("ignore", lambda f=f: f(5, IntMakesCounted(2 ** 33))), TOO_LARGE)

        def clears_own_dict(f=f):
            kwds = {"b": 2 ** 20 + 17}
            kwds["a"] = ClearsDict(kwds, 3)
            return call_with_dict(f, (), kwds)
        case("__int__ of a empties the keyword dict", clears_own_dict,
             ok(op(3, 2 ** 20 + 17), fname))
    return cases


def outcome(thunk):
    """("ok", value) or ("raise", type, message, exception)."""
    try:
        return ("ok", thunk())
    except BaseException as error:  # noqa: B902 - the outcome is what is being checked
        return ("raise", type(error), str(error), error)


def innermost_zelk_entry(error):
    """The traceback entry that zelk added: (file, line, function name), or None."""
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == MODULE_SOURCE:
            return code.co_filename, tb.tb_lineno, code.co_name
        tb = tb.tb_next
    return None


def check_entry(case_name, error, shown):
    """Checks the entry of a failed binding or conversion; returns a problem text or None."""
    fname = case_name.split(":")[0]
    entry = innermost_zelk_entry(error)
    if entry is None:
        return "no traceback entry"
    filename, line, name = entry
    if line != DEF_LINE[fname]:
        return "entry at line %d" % line
    if shown:
        prefix = "zelk.%s (%s:" % (fname, IMPLEMENTING_SOURCE)
        if not (name.startswith(prefix) and name.endswith(")")):
            return "entry named %r, expected the implementing line" % name
    elif name not in ("zelk.%s" % fname, "init zelk"):
        return "entry named %r" % name
    return None


def runtime_module():
    return sys.modules["ext_runtime"]
