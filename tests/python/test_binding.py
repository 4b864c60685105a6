"""Binding of zelk.add and zelk.sub arguments by position and keyword, and its diagnostics."""

import ctypes
import functools
import itertools
import sys
import traceback
import unittest

import zelk

from zelk_testing import (DEBUG_BUILD, IMPLEMENTING_SOURCE, PYPY, raised_by, reporting_lines,
                          require_module, silence_c_stdout)


def forged_name(text):
    """An exact str equal to `text` that is not the interned object.

    One-character strings are shared singletons in CPython: every "a" that Python code can make
    is the interned "a". A fresh, unshared one can only be had from the C API. On PyPy a string
    decoded at run time reaches the C API as an object of its own (there `is` compares strings
    by value, so Python code cannot tell).
    """
    if PYPY:
        return text.encode("ascii").decode("ascii")
    api = ctypes.pythonapi
    api.PyUnicode_New.restype = ctypes.py_object
    api.PyUnicode_New.argtypes = (ctypes.c_ssize_t, ctypes.c_uint32)
    api.PyUnicode_WriteChar.argtypes = (ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_uint32)
    name = api.PyUnicode_New(len(text), 127)
    for index, char in enumerate(text):
        # Passed by address so that the string stays unshared, which WriteChar insists on.
        if api.PyUnicode_WriteChar(id(name), index, ord(char)) != 0:
            raise RuntimeError("could not write a fresh string")
    return name


class Name(str):
    """Keywords spelled by a str subclass."""


class HashesLikeA(object):
    """A non-string key that the lookup of "a" has to compare, and whose comparison fails."""

    def __hash__(self):
        return hash("a")

    def __eq__(self, other):
        raise ZeroDivisionError("compared")


def skip_c_api_call_on_pypy(test_case, call):
    if PYPY and call.startswith("c_call("):
        test_case.skipTest("no ctypes.pythonapi on PyPy, whose calls from Python always pass a "
                           "dict of their own")


def call_through_c_api(function, args, keywords):
    """function called as C code may call it, with any object for its keywords."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = (ctypes.py_object, ctypes.py_object, ctypes.py_object)
    return call(function, args, keywords)


class Attributes(object):
    """Its instances keep a and b in a dictionary of the kind made for attributes."""

    def __init__(self):
        self.a = 7
        self.b = 5


def keywords_after_deletion():
    keywords = {"x": 0, "a": 7, "b": 5}
    del keywords["x"]
    return keywords


def keywords_in_a_large_table():
    keywords = dict.fromkeys(range(100))
    keywords.update(a=7, b=5)
    for key in range(100):
        del keywords[key]
    return keywords


K_A = forged_name("a")
K_B = forged_name("b")
assert K_A == "a" and (PYPY or K_A is not sys.intern("a")) and type(K_A) is str

NAMESPACE = {"K_A": K_A, "K_B": K_B, "Name": Name, "HashesLikeA": HashesLikeA,
             "partial": functools.partial, "c_call": call_through_c_api, "Attributes": Attributes,
             "keywords_after_deletion": keywords_after_deletion,
             "keywords_in_a_large_table": keywords_in_a_large_table}

# Calls that bind a=7 and b=5.
BINDS_7_AND_5 = [
    "f(7, 5)",
    "f(a=7, b=5)",
    "f(7, b=5)",
    "f(b=5, a=7)",
    "f(7, 5, **{})",
    "f(*(7, 5))",
    "f(*[7], **{'b': 5})",
    "f(**{'a': 7, 'b': 5})",
    "f(**{'b': 5, 'a': 7})",
    # Keys equal to the parameter names but not the interned objects.
    "f(**{K_A: 7, K_B: 5})",
    "f(7, **{K_B: 5})",
    "f(**{Name('a'): 7, Name('b'): 5})",
    "f(7, **{Name('b'): 5})",
    # Other ways into the function object.
    "f.__call__(7, b=5)",
    "partial(f, 7)(b=5)",
    "partial(f, b=5)(7)",
    "partial(f, a=7)(b=5)",
    "c_call(f, (7,), {'b': 5})",
    # Keyword dictionaries of other shapes than a call's own, handed over as they are.
    "c_call(f, (), Attributes().__dict__)",
    "c_call(f, (), keywords_after_deletion())",
    "c_call(f, (), keywords_in_a_large_table())",
    "c_call(f, (), type('Keywords', (dict,), {})(a=7, b=5))",
]

COUNT = "{f}() takes exactly 2 positional arguments ({n} given)"
MULTIPLE = "{f}() got multiple values for keyword argument '{k}'"
UNEXPECTED = "{f}() got an unexpected keyword argument '{k}'"
NOT_STRINGS = "{f}() keywords must be strings"
NOT_DICT = "{f}() keywords must be a dict, not {t}"

# (call, exception type, message); {f} stands for the function's name.
REFUSED = [
    ("f()", TypeError, COUNT.format(f="{f}", n=0)),
    ("f(7)", TypeError, COUNT.format(f="{f}", n=1)),
    ("f(7, 5, 3)", TypeError, COUNT.format(f="{f}", n=3)),
    ("f(*range(40))", TypeError, COUNT.format(f="{f}", n=40)),
    ("f(**{})", TypeError, COUNT.format(f="{f}", n=0)),
    ("f(7, **{})", TypeError, COUNT.format(f="{f}", n=1)),
    # The missing a is found before the missing b.
    ("f(b=5)", TypeError, COUNT.format(f="{f}", n=0)),
    ("f(a=7)", TypeError, COUNT.format(f="{f}", n=1)),
    # b is missing, which is found before the clash of a with the first position.
    ("f(7, a=3)", TypeError, COUNT.format(f="{f}", n=1)),
    ("f(7, 5, 3, b=4)", TypeError, COUNT.format(f="{f}", n=3)),
    ("f(7, 5, 3, c=4)", TypeError, COUNT.format(f="{f}", n=3)),
    ("f(7, 5, a=4)", TypeError, MULTIPLE.format(f="{f}", k="a")),
    ("f(7, 5, b=4)", TypeError, MULTIPLE.format(f="{f}", k="b")),
    ("f(7, b=5, a=4)", TypeError, MULTIPLE.format(f="{f}", k="a")),
    ("f(7, 5, **{K_A: 4})", TypeError, MULTIPLE.format(f="{f}", k="a")),
    ("f(7, **{K_B: 5, K_A: 4})", TypeError, MULTIPLE.format(f="{f}", k="a")),
    ("f(7, 5, **{Name('a'): 4})", TypeError, MULTIPLE.format(f="{f}", k="a")),
    ("f(7, 5, c=4)", TypeError, UNEXPECTED.format(f="{f}", k="c")),
    ("f(a=7, b=5, c=4)", TypeError, UNEXPECTED.format(f="{f}", k="c")),
    ("f(7, b=5, c=4)", TypeError, UNEXPECTED.format(f="{f}", k="c")),
    ("f(7, 5, A=4)", TypeError, UNEXPECTED.format(f="{f}", k="A")),
    ("f(7, 5, ab=4)", TypeError, UNEXPECTED.format(f="{f}", k="ab")),
    ("f(7, 5, **{'\u00e9': 4})", TypeError, UNEXPECTED.format(f="{f}", k="\u00e9")),
    ("f(7, 5, **{Name('c'): 4})", TypeError, UNEXPECTED.format(f="{f}", k="c")),
    # The first offending keyword in the dictionary's order decides.
    ("f(7, 5, c=3, a=4)", TypeError, UNEXPECTED.format(f="{f}", k="c")),
    ("f(7, 5, a=4, c=3)", TypeError, MULTIPLE.format(f="{f}", k="a")),
    ("f(a=7, b=5, d=1, c=2)", TypeError, UNEXPECTED.format(f="{f}", k="d")),
    # Keys that are not strings reach the module's own check with **mapping on CPython
    # (the traceback entry checked below proves the refusal is the module's).
    ("f(7, 5, **{1: 2})", TypeError, NOT_STRINGS),
    ("f(a=7, b=5, **{1: 2})", TypeError, NOT_STRINGS),
    ("f(7, **{'b': 5, 1: 2})", TypeError, NOT_STRINGS),
    ("f(7, 5, **{1: 2, 'c': 3})", TypeError, NOT_STRINGS),
    ("f(7, 5, **{'c': 3, 1: 2})", TypeError, UNEXPECTED.format(f="{f}", k="c")),
    ("f(7, 5, **{b'a': 2})", TypeError, NOT_STRINGS),
    ("f.__call__(7, 5, **{1: 2})", TypeError, NOT_STRINGS),
    ("partial(f, 7, 5)(**{1: 2})", TypeError, NOT_STRINGS),
    # ... but only once both parameters are bound.
    ("f(**{1: 2})", TypeError, COUNT.format(f="{f}", n=0)),
    ("f(a=7, **{1: 2})", TypeError, COUNT.format(f="{f}", n=1)),
    # A lookup of a parameter name that fails counts as not finding it.
    ("f(**{HashesLikeA(): 1})", TypeError, COUNT.format(f="{f}", n=0)),
    # Keywords that are not a dict, which only the C API can pass, are never read as one.
    ("c_call(f, (7,), [5])", TypeError, NOT_DICT.format(f="{f}", t="list")),
    ("c_call(f, (), ('a', 'b'))", TypeError, NOT_DICT.format(f="{f}", t="tuple")),
    ("c_call(f, (7, 5), 'ab')", TypeError, NOT_DICT.format(f="{f}", t="str")),
    # Binding is complete before anything is converted.
    ("f('x')", TypeError, COUNT.format(f="{f}", n=1)),
    ("f(None, b=None, c=1)", TypeError, UNEXPECTED.format(f="{f}", k="c")),
    ("f(None, None, a=1)", TypeError, MULTIPLE.format(f="{f}", k="a")),
]

# PyPy's call machinery refuses a key that is not a string before the function runs, in words of
# its own naming the callable and the key's type: (call, pattern of the message) for those calls
# there. PyPy 3.9 names the callable's type; 3.11 the function, the method or the partial.
PYPY_REFUSES_KEY = "{callable} keywords must be strings, not '{key}'"
if PYPY and sys.version_info < (3, 11):
    PYPY_CALLABLES = {"f": "builtin_function_or_method object", "__call__": r"__call__\(\)",
                      "partial": "partial object"}
else:
    PYPY_CALLABLES = {"f": r"zelk\.{f}\(\)",
                      "__call__": r"builtin_function_or_method\.__call__\(\)",
                      "partial": r"functools\.partial\(<builtin_function_or_method object at "
                                 r"0x[0-9a-f]+>, 7, 5\)"}
PYPY_REFUSED = {
    call: PYPY_REFUSES_KEY.format(callable=PYPY_CALLABLES[callable], key=key)
    for call, callable, key in [
        ("f(7, 5, **{1: 2})", "f", "int"),
        ("f(a=7, b=5, **{1: 2})", "f", "int"),
        ("f(7, **{'b': 5, 1: 2})", "f", "int"),
        ("f(7, 5, **{1: 2, 'c': 3})", "f", "int"),
        ("f(7, 5, **{'c': 3, 1: 2})", "f", "int"),
        ("f(7, 5, **{b'a': 2})", "f", "bytes"),
        ("f.__call__(7, 5, **{1: 2})", "__call__", "int"),
        ("partial(f, 7, 5)(**{1: 2})", "partial", "int"),
        ("f(**{1: 2})", "f", "int"),
        ("f(a=7, **{1: 2})", "f", "int"),
        ("f(**{HashesLikeA(): 1})", "f", "HashesLikeA"),
    ]} if PYPY else {}

FUNCTIONS = [("add", zelk.add, 12), ("sub", zelk.sub, 2)]


def refusing_entries(name, message, shown):
    """The traceback entries that may report a refusal: shown, the line of a site of its kind."""
    if not shown:
        return ["zelk." + name]
    sites = ["wrong_count", "missing_second"] if "positional" in message else ["bad_keyword"]
    return ["zelk.%s (%s:%d)" % (name, IMPLEMENTING_SOURCE, reporting_lines(name)[site])
            for site in sites]


def setUpModule():
    silence_c_stdout()


class BindingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def test_calls_that_bind_both_parameters(self):
        for name, function, expected in FUNCTIONS:
            for call in BINDS_7_AND_5:
                with self.subTest(function=name, call=call):
                    skip_c_api_call_on_pypy(self, call)
                    self.assertEqual(eval(call, dict(NAMESPACE, f=function)), expected)

    def test_refused_calls(self):
        runtime = sys.modules["ext_runtime"]
        self.addCleanup(setattr, runtime, "cline_in_traceback",
                        getattr(runtime, "cline_in_traceback", False))
        for (name, function, _), shown in itertools.product(FUNCTIONS, (False, True)):
            for call, error_type, message in REFUSED:
                with self.subTest(function=name, call=call, shown=shown):
                    skip_c_api_call_on_pypy(self, call)
                    if DEBUG_BUILD and "keywords must be a dict" in message:
                        self.skipTest("a debug build asserts that keywords passed through the C "
                                      "API are a dict, before any function sees them")
                    runtime.cline_in_traceback = shown
                    error = raised_by(lambda: eval(call, dict(NAMESPACE, f=function)))
                    self.assertIs(type(error), error_type)
                    entries = [entry[2] for entry in traceback.extract_tb(error.__traceback__)]
                    if call in PYPY_REFUSED:
                        self.assertRegex(str(error), "^%s$" % PYPY_REFUSED[call].format(f=name))
                        self.assertFalse([entry for entry in entries if "zelk." in entry])
                        continue
                    self.assertEqual(str(error), message.format(f=name))
                    # Refused by the module, not by the interpreter's call machinery, and (the
                    # line shown) at the site of its kind of failure.
                    self.assertIn(entries[-1], refusing_entries(name, message, shown))

    def test_caller_keyword_dictionary_unchanged(self):
        # With **mapping the function gets the caller's own dictionary on this interpreter.
        cases = [((), {"a": 7, "b": 5}), ((7,), {"b": 5}), ((7, 5), {}),
                 ((), {"a": 7, "b": 5, "c": 1}), ((7,), {"a": 1})]
        for name, function, _ in FUNCTIONS:
            for args, keywords in cases:
                with self.subTest(function=name, args=args, keywords=keywords):
                    before = list(keywords.items())
                    try:
                        function(*args, **keywords)
                    except TypeError:
                        pass
                    self.assertEqual(list(keywords.items()), before)

if __name__ == "__main__":
    unittest.main()
