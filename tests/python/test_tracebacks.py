"""Traceback entries of failed calls: where they point, what the cline setting does, and the
code objects kept behind them."""

import itertools
import json
import re
import subprocess
import sys
import textwrap
import unittest

import zelk

from zelk_testing import (IMPLEMENTING_SOURCE, SOURCE_DIR, collect_garbage, reporting_lines,
                          source_lines)

try:
    import _testcapi
except (ImportError, OSError):  # PyPy builds it from a C source that Debian does not ship
    _testcapi = None

ext_runtime = sys.modules["ext_runtime"]  # made by the import, shared by name

MODULE_SOURCE = "pkg/zelk.pyi"

# One bad call per binding or conversion failure of a function, by the failure's name in the
# implementing source.
FAILING_CALLS = [
    ("wrong_count", lambda f: f(1), TypeError),
    ("missing_second", lambda f: f(1, a=2), TypeError),
    ("bad_keyword", lambda f: f(1, 2, c=3), TypeError),
    ("convert_first", lambda f: f("x", 1), TypeError),
    ("convert_second", lambda f: f(1, "x"), TypeError),
]
DEF_LINES = {"add": 12, "sub": 20}


def failure_of(call):
    try:
        call()
    except Exception as error:
        return error
    raise AssertionError("the call did not fail")


def failure_without_memory(n, call):
    """The exception that call() raises with only the n-th allocation from now refused."""
    _testcapi.set_nomemory(n, n + 1)
    try:
        call()
    except Exception as error:
        return error
    finally:
        _testcapi.remove_mem_hooks()


def frames_of(error):
    """The (traceback, code) pairs of the error's traceback, outermost first."""
    frames = []
    tb = error.__traceback__
    while tb is not None:
        frames.append((tb, tb.tb_frame.f_code))
        tb = tb.tb_next
    return frames


def innermost(error):
    return frames_of(error)[-1]


def module_entries(error):
    return [code for _, code in frames_of(error) if code.co_filename == MODULE_SOURCE]


def run_fresh(code, cwd=None):
    """Runs `code` in a fresh interpreter; returns the JSON it printed as its last line."""
    process = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd, timeout=120)
    if process.returncode != 0:
        raise AssertionError("child failed (%d):\n%s" % (
            process.returncode, process.stderr.decode("utf-8", "replace")))
    return process.stdout.decode()


class SettingRestored(unittest.TestCase):
    """Leaves the shared cline setting as each test found it."""

    def setUp(self):
        had = "cline_in_traceback" in vars(ext_runtime)
        saved = getattr(ext_runtime, "cline_in_traceback", None)

        def restore():
            if had:
                ext_runtime.cline_in_traceback = saved
            else:
                vars(ext_runtime).pop("cline_in_traceback", None)
        self.addCleanup(restore)

    def entry_name(self, setting, call):
        ext_runtime.cline_in_traceback = setting
        return innermost(failure_of(call))[1].co_name


class DefaultEntryTest(unittest.TestCase):

    def test_setting_absent_until_first_entry_then_false(self):
        out = run_fresh("""
            import json, sys, zelk
            runtime = sys.modules["ext_runtime"]
            before = "cline_in_traceback" in vars(runtime)
            zelk.sub(7, 5)
            after_success = "cline_in_traceback" in vars(runtime)
            entries = []
            for call in (lambda: zelk.add("x", 1), lambda: zelk.sub(b=None, a=1)):
                try:
                    call()
                except TypeError as error:
                    tb = error.__traceback__
                    while tb.tb_next:
                        tb = tb.tb_next
                    code = tb.tb_frame.f_code
                    entries.append([code.co_filename, code.co_name, tb.tb_lineno, str(error)])
            print(json.dumps([before, after_success, repr(runtime.cline_in_traceback), entries]))
        """)
        self.assertEqual(json.loads(out.splitlines()[-1]), [
            False, False, "False", [
                [MODULE_SOURCE, "zelk.add", 12, "an integer is required"],
                [MODULE_SOURCE, "zelk.sub", 20, "an integer is required"],
            ]])

    def test_printed_traceback_shows_the_stub_line(self):
        out = run_fresh("""
            import traceback, zelk
            for call in (lambda: zelk.add(1), lambda: zelk.sub(1, None)):
                try:
                    call()
                except TypeError:
                    traceback.print_exc(file=__import__("sys").stdout)
        """, cwd=SOURCE_DIR)
        self.assertIn('  File "pkg/zelk.pyi", line 12, in zelk.add\n'
                      '    def add(a: SupportsInt, b: SupportsInt) -> int:\n'
                      'TypeError: add() takes exactly 2 positional arguments (1 given)\n', out)
        self.assertIn('  File "pkg/zelk.pyi", line 20, in zelk.sub\n'
                      '    def sub(a: SupportsInt, b: SupportsInt) -> int:\n'
                      'TypeError: an integer is required\n', out)
        # The same lines from the interpreter's own hook, the failure uncaught (and no columns
        # marked under the stub's line, on interpreters that mark them).
        uncaught = subprocess.run([sys.executable, "-c", "import zelk; zelk.sub(1, None)"],
                                  stderr=subprocess.PIPE, cwd=SOURCE_DIR, timeout=120)
        self.assertTrue(uncaught.stderr.decode().endswith(
            '  File "pkg/zelk.pyi", line 20, in zelk.sub\n'
            '    def sub(a: SupportsInt, b: SupportsInt) -> int:\n'
            'TypeError: an integer is required\n'), uncaught.stderr)


class SettingTest(SettingRestored):

    def test_truth_of_the_setting(self):
        shown = "zelk.add (%s:%d)" % (IMPLEMENTING_SOURCE, reporting_lines("add")["convert_first"])
        cases = [
            (True, shown), (1, shown), ("yes", shown), ([0], shown),
            (False, "zelk.add"), (0, "zelk.add"), ("", "zelk.add"), (None, "zelk.add"),
            ([], "zelk.add"),
        ]
        for setting, expected in cases:
            with self.subTest(setting=setting):
                self.assertEqual(self.entry_name(setting, lambda: zelk.add("x", 1)), expected)

    def test_setting_whose_truth_test_raises_hides_the_line(self):
        calls = []
        finalised = []

        class NoAnswer(ValueError):
            def __del__(self):
                finalised.append(1)

        class Undecided(object):
            def __bool__(self):
                calls.append(1)
                raise NoAnswer("no answer")

        ext_runtime.cline_in_traceback = Undecided()
        error = failure_of(lambda: zelk.add("x", 1))
        self.assertEqual(calls, [1])
        self.assertIs(type(error), TypeError)
        self.assertEqual(str(error), "an integer is required")
        self.assertIsNone(error.__context__)
        self.assertIsNone(error.__cause__)
        tb, code = innermost(error)
        self.assertEqual((code.co_filename, code.co_name, tb.tb_lineno),
                         (MODULE_SOURCE, "zelk.add", 12))
        # The dropped errors are released, not kept.
        for _ in range(99):
            failure_of(lambda: zelk.sub(1, "x"))
        collect_garbage()
        self.assertEqual((len(calls), len(finalised)), (100, 100))

    def test_entries_without_builtins_in_the_module_globals(self):
        # The frame of an entry looks for builtins in the module's dictionary, which its user
        # may have emptied: the entry must not be lost for it.
        namespace = dict(vars(zelk))
        self.addCleanup(vars(zelk).update, namespace)
        add, sub = zelk.add, zelk.sub
        for change in ("del __builtins__", "clear the dictionary"):
            vars(zelk).update(namespace)
            if change == "del __builtins__":
                del zelk.__builtins__
            else:
                vars(zelk).clear()
            for setting in (False, True):
                ext_runtime.cline_in_traceback = setting
                for function in (add, sub):
                    for failure, call, exception in FAILING_CALLS:
                        with self.subTest(change=change, setting=setting,
                                          function=function.__name__, failure=failure):
                            error = failure_of(lambda: call(function))
                            self.assertIs(type(error), exception)
                            [code] = module_entries(error)
                            self.assertTrue(code.co_name.startswith("zelk." + function.__name__),
                                            code.co_name)

    def test_deleted_setting_comes_back_false(self):
        ext_runtime.cline_in_traceback = True
        del ext_runtime.cline_in_traceback
        self.assertEqual(innermost(failure_of(lambda: zelk.sub(1)))[1].co_name, "zelk.sub")
        self.assertIs(ext_runtime.cline_in_traceback, False)


class SiteTest(SettingRestored):

    def test_each_site_shows_the_line_that_reports_it(self):
        lines = source_lines()
        seen = {}
        for function_name, function in (("add", zelk.add), ("sub", zelk.sub)):
            expected_lines = reporting_lines(function_name)
            self.assertEqual(sorted(expected_lines), sorted(name for name, _, _ in FAILING_CALLS))
            for failure, call, exception in FAILING_CALLS:
                with self.subTest(function=function_name, failure=failure):
                    ext_runtime.cline_in_traceback = True
                    error = failure_of(lambda: call(function))
                    self.assertIs(type(error), exception)
                    tb, code = innermost(error)
                    match = re.match(r"zelk\.%s \(pkg/zelk\.cpp:(\d+)\)$" % function_name,
                                     code.co_name)
                    self.assertTrue(match, code.co_name)
                    line = int(match.group(1))
                    self.assertEqual(line, expected_lines[failure])
                    self.assertIn('ext_function_failed(EXT_SITE("zelk.%s", %d))'
                                  % (function_name, DEF_LINES[function_name]), lines[line - 1])
                    self.assertEqual((code.co_filename, tb.tb_lineno, code.co_firstlineno),
                                     (MODULE_SOURCE, DEF_LINES[function_name],
                                      DEF_LINES[function_name]))
                    self.assertEqual(len(module_entries(error)), 1)
                    seen[(function_name, failure)] = line
                    # Hidden, the same site is named by its function alone.
                    ext_runtime.cline_in_traceback = False
                    hidden = failure_of(lambda: call(function))
                    self.assertEqual([c.co_name for c in module_entries(hidden)],
                                     ["zelk." + function_name])
        self.assertEqual(len(set(seen.values())), 10, seen)

    @unittest.skipUnless(_testcapi and hasattr(_testcapi, "set_nomemory"),
                         "needs _testcapi.set_nomemory")
    def test_failure_to_return_the_result_points_at_the_core_call(self):
        lines = source_lines()
        ext_runtime.cline_in_traceback = True
        for function, call_line in ((zelk.add, 18), (zelk.sub, 24)):
            with self.subTest(function=function.__name__):
                # The first allocation of the call is the result's int. From 3.14 freed ints
                # are kept for reuse; results held until that store is empty make the next one
                # allocate (repeat() makes no int of its own). The call is made here, not through
                # a helper, whose own frame would be the first allocation.
                held = [function(100000, 200000) for _ in itertools.repeat(None, 600)]
                _testcapi.set_nomemory(0, 1)
                try:
                    function(100000, 200000)
                except MemoryError as error:
                    _testcapi.remove_mem_hooks()
                    tb, code = innermost(error)
                else:
                    _testcapi.remove_mem_hooks()
                    self.fail("the call did not fail")
                del held
                match = re.match(r"zelk\.%s \(pkg/zelk\.cpp:(\d+)\)$" % function.__name__,
                                 code.co_name)
                self.assertTrue(match, code.co_name)
                self.assertIn('ext_function_failed(EXT_SITE("zelk.%s", %d))'
                              % (function.__name__, call_line), lines[int(match.group(1)) - 1])
                self.assertEqual((tb.tb_lineno, code.co_firstlineno), (call_line, call_line))

    @unittest.skipUnless(_testcapi and hasattr(_testcapi, "set_nomemory"),
                         "needs _testcapi.set_nomemory")
    def test_a_refused_entry_frame_gives_its_memory_error(self):
        # Each allocation of a failing call refused in turn: the call's own exception arrives
        # only with its entry, a frame that cannot be made gives its MemoryError. The failures
        # are held, so that their frames are not reused, and a collection empties 3.6's free
        # list of frames before each call: every entry's frame needs new memory.
        for setting in (False, True):
            ext_runtime.cline_in_traceback = setting
            for function in (zelk.add, zelk.sub):
                for failure, call, exception in FAILING_CALLS:
                    with self.subTest(setting=setting, function=function.__name__,
                                      failure=failure):
                        errors = []
                        for n in range(40):
                            collect_garbage()
                            errors.append(failure_without_memory(n, lambda: call(function)))
                        for n, error in enumerate(errors):
                            if type(error) is exception:  # else a MemoryError, or its loss
                                self.assertEqual(len(module_entries(error)), 1, n)

    def test_repeated_failure_reuses_the_code_object(self):
        for setting in (False, True):
            with self.subTest(setting=setting):
                ext_runtime.cline_in_traceback = setting
                first = innermost(failure_of(lambda: zelk.sub(1, "x")))
                second = innermost(failure_of(lambda: zelk.sub(1, "x")))
                self.assertIsNot(first[0], second[0])
                self.assertIs(first[1], second[1])
                # What is read of it to tell its site is released again (PyPy has no counts).
                count = getattr(sys, "getrefcount", lambda name: 0)
                held = [count(first[1].co_name), count(first[1].co_filename)]
                for _ in range(100):
                    failure_of(lambda: zelk.sub(1, "x"))
                self.assertEqual([count(first[1].co_name), count(first[1].co_filename)], held)

    def test_toggling_keeps_an_entry_for_each_setting(self):
        def code(setting):
            ext_runtime.cline_in_traceback = setting
            return innermost(failure_of(lambda: zelk.add(1, 2, 3)))[1]
        hidden, shown = code(False), code(True)
        self.assertIsNot(hidden, shown)
        self.assertEqual(hidden.co_name, "zelk.add")
        self.assertTrue(shown.co_name.startswith("zelk.add (pkg/zelk.cpp:"), shown.co_name)
        self.assertIs(code(False), hidden)
        self.assertIs(code(True), shown)

    def test_an_int_method_that_raises_keeps_its_own_frame_inside(self):
        class Broken(object):
            def __int__(self):
                raise ValueError("broken")

        ext_runtime.cline_in_traceback = False
        error = failure_of(lambda: zelk.add(1, Broken()))
        self.assertIs(type(error), ValueError)
        names = [code.co_name for _, code in frames_of(error)]
        self.assertEqual(names[-2:], ["zelk.add", "__int__"])
        self.assertEqual(len(module_entries(error)), 1)


if __name__ == "__main__":
    unittest.main()
