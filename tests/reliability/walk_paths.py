"""Walks every path of the zelk module once and checks each outcome.

Import (first exec, re-import, exec of another module object, a second interpreter), every
success and failure kind of add and sub by position and keyword, the __int__ variants, and
traceback entries with the implementing line hidden and shown. Meant to run under memory
checkers (valgrind, the sanitizers), so it does each thing a few times, not many.
Exit status 0 when every check passed.
"""
import ctypes
import importlib
import os
import sys
import types

import zelk_cases
from zelk_cases import zelk

problems = []


def check(condition, what):
    if not condition:
        problems.append(what)


class FalseRaises:
    def __bool__(self):
        raise RuntimeError("no truth here")


def walk_calls(cases, cline_value):
    """Runs every case with the given cline_in_traceback value (or none set)."""
    runtime = zelk_cases.runtime_module()
    if cline_value is None:
        if hasattr(runtime, "cline_in_traceback"):
            del runtime.cline_in_traceback
        shown = False
    else:
        runtime.cline_in_traceback = cline_value
        try:
            shown = bool(cline_value)
        except RuntimeError:
            shown = False
    for name, thunk, expected in cases:
        got = zelk_cases.outcome(thunk)
        label = "%s [cline_in_traceback=%r]" % (name, cline_value)
        if expected[0] == "ok":
            check(got[:2] == ("ok", expected[1]), "%s: %r, expected %r" % (label, got[:3],
                                                                          expected[1]))
            continue
        check(got[0] == "raise" and got[1] is expected[1] and got[2] == expected[2],
              "%s: %r, expected %r" % (label, got[:3], expected[1:]))
        if got[0] == "raise":
            problem = zelk_cases.check_entry(name, got[3], shown)
            check(problem is None, "%s: %s" % (label, problem))
    if cline_value is None:
        check(getattr(runtime, "cline_in_traceback", None) is False,
              "cline_in_traceback not created as False")


def walk_import():
    first = zelk
    del sys.modules["zelk"]
    again = importlib.import_module("zelk")
    check(again is first, "re-import gave another module object")
    check(sys.modules["zelk"] is first, "re-import did not register the module")

    # Exec of the module definition over another module object is refused.
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.c_void_p
    get_def.argtypes = [ctypes.py_object]
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype = ctypes.c_int
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    try:
        exec_def(types.ModuleType("zelk"), get_def(first))
        check(False, "second exec accepted")
    except RuntimeError as error:
        check(str(error) == "Module 'zelk' has already been imported. "
              "Re-initialisation is not supported.", "second exec: %s" % error)
    check(first.add(1, 2) == 3, "module broken after a refused exec")

    # A second interpreter is refused (its traceback goes to stderr).
    try:
        import _testcapi
    except ImportError:
        return
    sys.stderr.flush()
    result = _testcapi.run_in_subinterp(
        "import sys\n"
        "try:\n"
        "    import zelk\n"
        "except ImportError as error:\n"
        "    assert 'Interpreter change detected' in str(error), error\n"
        "    sys.modules['__main__'].refused = True\n")
    check(result == 0, "sub-interpreter check failed: %r" % result)


def main():
    cases = zelk_cases.build_cases()
    # add writes to the C stdout; keep that apart from the report.
    sys.stdout.flush()
    saved_stdout = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    walk_calls(cases, None)  # creates the setting as False, line hidden
    for value in (True, 1, "x", [0]):
        walk_calls(cases, value)
    for value in (False, 0, "", None, [], FalseRaises()):
        walk_calls(cases, value)
    walk_calls(cases, None)
    walk_import()
    ctypes.CDLL(None).fflush(None)
    os.dup2(saved_stdout, 1)
    if problems:
        for problem in problems:
            print("FAIL:", problem)
        print("walk_paths: %d problems over %d cases" % (len(problems), len(cases)))
        return 1
    print("walk_paths: %d cases x 12 settings, import paths: all as expected" % len(cases))
    return 0


if __name__ == "__main__":
    sys.exit(main())
