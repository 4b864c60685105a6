"""Reference counting in zelk.add and zelk.sub: arguments borrowed, __int__ results released,
keyword values kept alive while the call needs them.

PyPy has no reference counts to read, but keeps an object alive for as long as the C API holds a
reference to it: there a weak reference (or a finaliser) that outlives the caller's last
reference after gc.collect() shows a reference that was never released.
"""

import sys
import unittest
import warnings
import weakref

import zelk

from zelk_testing import (PYPY, SnippetTestCase, collect_garbage, cpython_only, require_module,
                          silence_c_stdout)

CALLS = 500


class IntReturns(object):
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class RaisesOwn(object):
    """Its __int__ raises an exception class of the test's own: unlike the built-in ones, which
    are immortal on later interpreters, its reference count shows every release."""

    class Error(Exception):
        pass

    def __int__(self):
        raise RaisesOwn.Error("own")


class Finalised(object):
    """Mixin counting the finalisations of its instances."""

    count = 0

    def __del__(self):
        Finalised.count += 1


class CountedInt(Finalised, int):
    pass


class CountedObject(Finalised):
    pass


class FreshResult(object):
    """Its __int__ returns a new object made by `make` at each call."""

    def __init__(self, make):
        self.make = make

    def __int__(self):
        return self.make()


def call_many(function, args, kwargs):
    for _ in range(CALLS):
        try:
            function(*args, **kwargs)
        except Exception:
            pass


def setUpModule():
    silence_c_stdout()


def borrowing_cases(big, other, huge, text, with_int, raising, with_subclass, raising_own):
    """(label, args, kwargs): successes and failures, by position and by keyword."""
    return [
        ("positional", (big, other), {}),
        ("keywords", (), {"a": big, "b": other}),
        ("mixed", (big,), {"b": other}),
        ("empty keywords", (big, other), {}),
        ("__int__", (with_int, with_int), {}),
        ("overflow", (big, huge), {}),
        ("overflow by keyword", (), {"a": huge, "b": big}),
        ("not a number", (text, big), {}),
        ("not a number by keyword", (), {"b": text, "a": big}),
        ("__int__ of wrong type", (big,), {"b": raising}),
        ("__int__ of an int subclass", (with_subclass, big), {}),
        ("__int__ of an int subclass by keyword", (), {"a": big, "b": with_subclass}),
        ("__int__ raising", (raising_own, big), {}),
        ("__int__ raising by keyword", (big,), {"b": raising_own}),
        ("argument count", (big, other, text), {}),
        ("missing b", (), {"a": big}),
        ("unexpected keyword", (big, other), {"c": text}),
        ("multiple values", (big, other), {"a": huge}),
        ("non-string key", (big, other), {1: text}),
    ]


class WatchedInt(int):
    pass


class WatchedStr(str):
    pass


class ArgumentsBorrowedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_module(cls)

    @cpython_only("no reference counts to read; test_arguments_released_after_calls instead")
    def test_reference_counts_unchanged(self):
        converted = 4242
        subclass_result = CountedInt(4343)  # __int__ hands back a reference to it each call
        cases = borrowing_cases(big=123456789,  # not one of the interpreter's shared small ints
                                other=98765, huge=2**70, text="not a number",
                                with_int=IntReturns(converted), raising=IntReturns("wrong type"),
                                with_subclass=IntReturns(subclass_result),
                                raising_own=RaisesOwn())
        for label, args, kwargs in cases:
            for function in (zelk.add, zelk.sub):
                watched = [args, kwargs] + list(args) + list(kwargs.values()) + [
                    converted, subclass_result, RaisesOwn.Error]
                with self.subTest(case=label, function=function.__name__):
                    before = [sys.getrefcount(obj) for obj in watched]
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore", DeprecationWarning)
                        call_many(function, args, kwargs)
                    after = [sys.getrefcount(obj) for obj in watched]
                    self.assertEqual(after, before)

    @unittest.skipUnless(PYPY, "CPython's reference counts are read instead")
    def test_arguments_released_after_calls(self):
        # Subclasses of int and str, read as their bases are, but watchable by weak reference.
        for index, (label, _, _) in enumerate(borrowing_cases(*[None] * 8)):
            for function in (zelk.add, zelk.sub):
                with self.subTest(case=label, function=function.__name__):
                    arguments = [WatchedInt(123456789), WatchedInt(98765), WatchedInt(2**70),
                                 WatchedStr("not a number"), IntReturns(4242),
                                 IntReturns("wrong type"), IntReturns(WatchedInt(4343)),
                                 RaisesOwn()]
                    _, args, kwargs = borrowing_cases(*arguments)[index]
                    watched = [weakref.ref(argument) for argument in arguments]
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore", DeprecationWarning)
                        call_many(function, args, kwargs)
                    del arguments, args, kwargs
                    collect_garbage()
                    self.assertEqual([ref() for ref in watched], [None] * 8)


class IntResultsReleasedTest(unittest.TestCase):
    """Whatever __int__ returns is released once, on every path."""

    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def test_every_result_finalised(self):
        # (label, result maker, warning filter, call succeeds)
        cases = [
            ("int subclass", lambda: CountedInt(5), "ignore", True),
            ("int subclass, deprecation an error", lambda: CountedInt(5), "error", False),
            ("int subclass too large", lambda: CountedInt(2**40), "ignore", False),
            ("int subclass beyond 64 bits", lambda: CountedInt(2**70), "ignore", False),
            ("not an int", lambda: CountedObject(), "ignore", False),
        ]
        for label, make, action, succeeds in cases:
            for position in ("a", "b"):
                with self.subTest(case=label, position=position):
                    argument = FreshResult(make)
                    kwargs = {"a": 1, "b": 2}
                    kwargs[position] = argument
                    Finalised.count = 0
                    outcomes = []
                    with warnings.catch_warnings():
                        warnings.simplefilter(action)
                        for _ in range(CALLS):
                            try:
                                zelk.add(**kwargs)
                                outcomes.append(True)
                            except (OverflowError, TypeError, DeprecationWarning):
                                outcomes.append(False)
                    self.assertEqual(outcomes, [succeeds] * CALLS)
                    collect_garbage()  # which on PyPy runs finalisers, not the last release
                    self.assertEqual(Finalised.count, CALLS)

    @cpython_only("an exact int can be neither counted nor watched; the subclasses above are")
    def test_exact_int_results_released(self):
        for result in (2**20 + 7, 2**40 + 7, 2**70 + 7):
            with self.subTest(result=result):
                argument = IntReturns(result)
                before = sys.getrefcount(result)
                call_many(zelk.sub, (argument, 1), {})
                call_many(zelk.sub, (1,), {"b": argument})
                self.assertEqual(sys.getrefcount(result), before)


# Calls a function from C with an argument tuple and keyword dictionary of one's own.
CALL_WITH_DICTIONARY = """
import ctypes
_object_call = ctypes.pythonapi.PyObject_Call
_object_call.restype = ctypes.py_object
_object_call.argtypes = (ctypes.py_object, ctypes.py_object, ctypes.py_object)
def call_with_dictionary(function, args, keywords):
    return _object_call(function, args, keywords)
"""


@cpython_only("a call gets a copy of the caller's keywords, which nothing else can reach")
class KeywordValuesKeptTest(SnippetTestCase):
    """An __int__ may empty the caller's keyword dictionary while the call still needs its
    values: the call must not read a value that the dictionary released. Run in a fresh
    interpreter, since getting this wrong corrupts memory."""

    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def test_dictionary_replaced_during_keyword_lookup(self):
        # The lookup of "b" meets a key of the same hash and asks its __eq__, which replaces the
        # dictionary's contents: the value already bound to a must survive that.
        [events] = self.reports_of([CALL_WITH_DICTIONARY, """
            import zelk
            events = []

            class ClearingKey(object):
                def __hash__(self):
                    return hash("b")

                def __eq__(self, other):
                    keywords.clear()
                    keywords["b"] = 3
                    return False

            class First(object):
                def __int__(self):
                    events.append("first converted")
                    return 2

                def __del__(self):
                    events.append("first finalised")

            keywords = {"a": First(), ClearingKey(): None}
            events.append(call_with_dictionary(zelk.add, (), keywords))
            report(events)
        """])
        self.assertEqual(events, ["first converted", "first finalised", 5])

    def test_dictionary_emptied_by_first_conversion(self):
        reports = self.reports_of([CALL_WITH_DICTIONARY, """
            import gc, sys, weakref, zelk
            events = []

            class Second(object):
                def __init__(self, value):
                    self.value = value

                def __int__(self):
                    events.append(["second converted", len(events)])
                    return self.value

                def __del__(self):
                    events.append(["second finalised", len(events)])

            class SecondInt(int):
                # An int needs no conversion, but must be held all the same while an __int__
                # of the first value runs.
                def __del__(self):
                    events.append(["second finalised", len(events)])

            def dictionaries_holding_second():
                if second_ref is None:  # an int subclass, which takes no weak references
                    return 0
                second = second_ref()
                if second is None:
                    return None
                return sum(isinstance(r, dict) for r in gc.get_referrers(second))

            class First(object):
                def __int__(self):
                    keywords.clear()
                    # No dictionary holds the second value any longer: the call got this very
                    # dictionary, not a copy, so only the call itself keeps the value alive.
                    events.append(["first converted", dictionaries_holding_second()])
                    return 2

            # PyObject_Call hands the function the very dictionary it is given. On 3.6 so does a
            # call spelled with a single **mapping (and __call__); some later interpreters hand
            # over a copy there, which leaves nothing to test (None: either may happen).
            on_36 = True if sys.version_info[:2] == (3, 6) else None
            shapes = [
                ("PyObject_Call", lambda f, d: call_with_dictionary(f, (), d), True, True),
                ("PyObject_Call, a by position",
                 lambda f, d: call_with_dictionary(f, (First(),), d), False, True),
                ("f(**d)", lambda f, d: f(**d), True, on_36),
                ("f.__call__(**d)", lambda f, d: f.__call__(**d), True, on_36),
                ("f(x, **d)", lambda f, d: f(First(), **d), False, on_36),
            ]
            for label, call, first_by_keyword, shared in shapes:
                for function in (zelk.add, zelk.sub):
                    for second_type in (Second, SecondInt):
                        del events[:]
                        keywords = {"a": First()} if first_by_keyword else {}
                        keywords["b"] = second_type(3)
                        second_ref = None if second_type is SecondInt else weakref.ref(
                            keywords["b"])
                        result = call(function, keywords)
                        report([label, function.__name__, second_type.__name__, shared,
                                result, events])
            """])
        expected_events = {
            "Second": [["first converted", 0], ["second converted", 1], ["second finalised", 2]],
            "SecondInt": [["first converted", 0], ["second finalised", 1]],
        }
        self.assertEqual(len(reports), 20)
        for label, name, second_type, shared, result, events in reports:
            with self.subTest(shape=label, function=name, second=second_type):
                self.assertEqual(result, {"add": 5, "sub": -1}[name])
                if shared is None and events[0] == ["first converted", 1]:
                    # A copy of the dictionary was passed: it still holds the second value.
                    events[0][1] = 0
                self.assertEqual(events, expected_events[second_type])


if __name__ == "__main__":
    unittest.main()
