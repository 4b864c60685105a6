"""Conversion of zelk.add and zelk.sub arguments to 32-bit C ints, and the wrapped results."""

import decimal
import enum
import traceback
import unittest
import warnings

import zelk

from zelk_testing import (C_LONG_OVERFLOW_MESSAGE, NOT_AN_INTEGER_MESSAGE, OVERFLOW_MESSAGE, PYPY,
                          deprecated_int_result_message, raised_by, require_module,
                          silence_c_stdout)

INT_MIN = -2**31
INT_MAX = 2**31 - 1

OVERFLOW = (OverflowError, OVERFLOW_MESSAGE)
C_LONG_OVERFLOW = (OverflowError, C_LONG_OVERFLOW_MESSAGE)
NOT_AN_INTEGER = (TypeError, NOT_AN_INTEGER_MESSAGE)


def wrap32(value):
    return (value + 2**31) % 2**32 - 2**31


class IntReturns(object):
    """Its __int__ returns the given object."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result

    def __repr__(self):
        return "IntReturns(%r)" % (self.result,)


class IntRaises(object):
    def __init__(self, error):
        self.error = error

    def __int__(self):
        # Without the traceback of an earlier raise, which a raise would add to.
        raise self.error.with_traceback(None)

    def __repr__(self):
        return "IntRaises(%r)" % (self.error,)


class InheritsInt(IntReturns):
    """Its __int__ comes from a base class: its own dictionary has none."""


class OnlyIndex(object):
    def __index__(self):
        return 7


class MyInt(int):
    """An int subclass whose own __int__ disagrees with its value."""

    def __int__(self):
        return 99


class Reentrant(object):
    """Its __int__ calls the module again, successfully and not."""

    def __int__(self):
        try:
            zelk.add("no", 1)
        except TypeError:
            pass
        return zelk.add(1, 2) + zelk.sub(b=1, a=2)


class Colour(enum.IntEnum):
    RED = 7


class IntOfClass(type):
    """A metaclass with __int__: its classes convert, their instances do not."""

    def __int__(cls):
        return 9


class MadeByIntOfClass(metaclass=IntOfClass):
    pass


class StaticInt(object):
    __int__ = staticmethod(lambda: 5)


class CallableInt(object):
    """__int__ is a callable object that is no descriptor: it is called without the instance."""

    class Six(object):
        def __call__(self):
            return 6

    __int__ = Six()


def with_own_int():
    """An instance whose own attribute __int__ is not asked: only its type's is."""
    instance = OnlyIndex()
    instance.__int__ = lambda: 7
    return instance


# (argument, converted value or (exception type, message)).
INT_WIDTHS = [
    (0, 0),
    (1, 1),
    (-1, -1),
    (2**30 - 1, 2**30 - 1),  # the largest one-digit int
    (-(2**30 - 1), -(2**30 - 1)),
    (2**30, 2**30),  # two digits from here
    (-2**30, -2**30),
    (2**15, 2**15),  # where digits are 15 bits wide: two from here, three from 2**30
    (INT_MAX, INT_MAX),
    (INT_MIN, INT_MIN),
    (INT_MAX + 1, OVERFLOW),
    (INT_MIN - 1, OVERFLOW),
    (2**32 + 5, OVERFLOW),  # its low 32 bits alone would read as 5
    (-2**45, OVERFLOW),
    (2**60 - 1, OVERFLOW),  # the largest two-digit int
    (-(2**60 - 1), OVERFLOW),
    (2**60, OVERFLOW),  # three digits: read in 64 bits, though a C long may have 32
    (-2**60, OVERFLOW),
    (2**62, OVERFLOW),
    (-2**62, OVERFLOW),
    (2**63 - 1, OVERFLOW),
    (-2**63, OVERFLOW),
    (2**63, C_LONG_OVERFLOW),  # beyond 64 bits the interpreter's own error stands
    (-2**63 - 1, C_LONG_OVERFLOW),
    (2**64, C_LONG_OVERFLOW),
    (2**64 - 1, C_LONG_OVERFLOW),  # fits 64 bits unsigned only
    (2**64 + 5, C_LONG_OVERFLOW),  # its low 64 bits alone would read as 5
    (-2**64, C_LONG_OVERFLOW),
    (10**100, C_LONG_OVERFLOW),
]

OTHER_ARGUMENTS = [
    (True, 1),
    (False, 0),
    # int subclasses are read as ints; their own __int__ is not asked.
    (MyInt(7), 7),
    (MyInt(-2**31), INT_MIN),
    (MyInt(2**31), OVERFLOW),
    (Colour.RED, 7),
    # A float goes through its own __int__, which truncates toward zero.
    (2.9, 2),
    (-2.9, -2),
    (0.5, 0),
    (-0.0, 0),
    (2147483647.9, INT_MAX),
    (-2147483648.9, INT_MIN),
    (2147483648.0, OVERFLOW),
    (1e300, C_LONG_OVERFLOW),
    (float("inf"), (OverflowError, "cannot convert float infinity to integer")),
    (float("nan"), (ValueError, "cannot convert float NaN to integer")),
    (decimal.Decimal("-7.9"), -7),
    (IntReturns(0), 0),
    (IntReturns(-1), -1),
    (IntReturns(INT_MIN), INT_MIN),
    (IntReturns(2**40), OVERFLOW),
    (IntReturns(2**64), C_LONG_OVERFLOW),
    (IntReturns("7"), (TypeError, "__int__ returned non-int (type str)")),
    (IntReturns(None), (TypeError, "__int__ returned non-int (type NoneType)")),
    (IntReturns(7.0), (TypeError, "__int__ returned non-int (type float)")),
    (IntReturns(IntReturns(7)), (TypeError, "__int__ returned non-int (type IntReturns)")),
    # A type defined in C outside builtins is named with its module (PyPy's decimal is Python).
    (IntReturns(decimal.Decimal(7)), (TypeError, "__int__ returned non-int (type %s)"
                                      % ("Decimal" if PYPY else "decimal.Decimal"))),
    (InheritsInt(-7), -7),
    (IntRaises(ValueError("no number here")), (ValueError, "no number here")),
    (IntRaises(TypeError("not today")), (TypeError, "not today")),
    (Reentrant(), 4),
    # __int__ is looked up on the type alone, and bound as attributes of the type are.
    (MadeByIntOfClass, 9),
    (MadeByIntOfClass(), NOT_AN_INTEGER),
    (with_own_int(), NOT_AN_INTEGER),
    (StaticInt(), 5),
    (CallableInt(), 6),
    # Nothing that lacks __int__ is accepted, __index__ included.
    ("7", NOT_AN_INTEGER),
    (b"7", NOT_AN_INTEGER),
    (None, NOT_AN_INTEGER),
    ([], NOT_AN_INTEGER),
    (object(), NOT_AN_INTEGER),
    (OnlyIndex(), NOT_AN_INTEGER),
]

# (function, a, b, result): the core's arithmetic wraps around modulo 2**32.
ARITHMETIC = [
    (zelk.add, 2, 3, 5),
    (zelk.add, -1, 0, -1),
    (zelk.add, INT_MAX, 1, INT_MIN),
    (zelk.add, -1, INT_MIN, INT_MAX),
    (zelk.add, INT_MAX, INT_MAX, -2),
    (zelk.add, INT_MIN, INT_MIN, 0),
    (zelk.sub, 7, 5, 2),
    (zelk.sub, 5, 7, -2),
    (zelk.sub, 0, INT_MIN, INT_MIN),
    (zelk.sub, INT_MIN, 1, INT_MAX),
    (zelk.sub, INT_MAX, -1, INT_MIN),
    (zelk.sub, -1, INT_MAX, INT_MIN),
]


def setUpModule():
    silence_c_stdout()


class ConversionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def check_argument(self, argument, expected):
        # In either position, through either function, bound by position or keyword.
        calls = [
            ("add(x, 0)", lambda: zelk.add(argument, 0), lambda v: v),
            ("add(0, x)", lambda: zelk.add(0, argument), lambda v: v),
            ("sub(a=x, b=0)", lambda: zelk.sub(a=argument, b=0), lambda v: v),
            ("sub(0, b=x)", lambda: zelk.sub(0, b=argument), lambda v: wrap32(-v)),
        ]
        for shape, call, result_of in calls:
            with self.subTest(argument=argument, call=shape):
                if isinstance(expected, tuple):
                    error = raised_by(call)
                    self.assertIs(type(error), expected[0])
                    self.assertEqual(str(error), expected[1])
                    # Failed in the module (ahead of any frame of an __int__ that raised).
                    self.assertIn("zelk." + shape[:3],
                                  [entry[2] for entry in traceback.extract_tb(error.__traceback__)])
                else:
                    result = call()
                    self.assertEqual(result, result_of(expected))
                    self.assertIs(type(result), int)

    def test_int_widths(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for argument, expected in INT_WIDTHS:
                self.check_argument(argument, expected)

    def test_other_arguments(self):
        # None of these warns: bools and int subclasses are ints.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for argument, expected in OTHER_ARGUMENTS:
                self.check_argument(argument, expected)

    def test_exception_raised_by_int_passes_unchanged(self):
        error = ValueError("mine")
        self.assertIs(raised_by(lambda: zelk.add(IntRaises(error), 1)), error)
        self.assertIs(raised_by(lambda: zelk.sub(1, IntRaises(error))), error)

    def test_arithmetic_wraps(self):
        for function, a, b, result in ARITHMETIC:
            with self.subTest(function=function.__name__, a=a, b=b):
                self.assertEqual(function(a, b), result)
                self.assertEqual(function(b=b, a=a), result)

    def test_int_returning_int_subclass_is_deprecated(self):
        # (result of __int__, type named in the warning, converted value)
        cases = [(True, "bool", 1), (False, "bool", 0), (MyInt(5), "MyInt", 5)]
        for result, type_name, value in cases:
            argument = IntReturns(result)
            with self.subTest(result=result):
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    self.assertEqual(zelk.add(argument, 2), value + 2)
                self.assertEqual([(w.category, str(w.message)) for w in caught],
                                 [(DeprecationWarning, deprecated_int_result_message(type_name))])
            with self.subTest(result=result, warnings="error"):
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    error = raised_by(lambda: zelk.sub(2, argument))
                self.assertIs(type(error), DeprecationWarning)
                self.assertEqual(str(error), deprecated_int_result_message(type_name))

    def test_first_argument_converted_before_second_is_looked_at(self):
        calls_of_b = []

        class Recorder(object):
            def __int__(self):
                calls_of_b.append(1)
                return 1

        failing_first = [("x", NOT_AN_INTEGER), (2**31, OVERFLOW),
                         (IntRaises(KeyError("k")), (KeyError, "'k'")),
                         (IntReturns("s"), (TypeError, "__int__ returned non-int (type str)"))]
        for first, (error_type, message) in failing_first:
            for call in (lambda: zelk.add(first, Recorder()),
                         lambda: zelk.sub(b=Recorder(), a=first),
                         lambda: zelk.add(first, "also bad")):
                with self.subTest(first=first):
                    error = raised_by(call)
                    self.assertIs(type(error), error_type)
                    self.assertEqual(str(error), message)
        self.assertEqual(calls_of_b, [])
        self.assertEqual(zelk.add(1, Recorder()), 2)
        self.assertEqual(calls_of_b, [1])


if __name__ == "__main__":
    unittest.main()
