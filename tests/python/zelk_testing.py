"""Shared helpers for the zelk test suites.

Much of what the module does touches process-wide state (the C stdout buffer, the single
interpreter it accepts, its one-time exec, the dynamic loader), so many tests run a short snippet
in a fresh interpreter. A snippet reports its findings with ``report(value)``, which writes them as
JSON to a side file: the child's fd 1 stays free for what the module itself writes there.
"""

import ctypes
import gc
import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

SOURCE_DIR = os.environ.get(
    "ZELK_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
# The implementation file, whose lines the entries show when cline_in_traceback is true.
IMPLEMENTING_SOURCE = "pkg/zelk.cpp"


def _find_module_path():
    path = os.environ.get("ZELK_MODULE")
    if path:
        return os.path.abspath(path)
    for directory in os.environ.get("PYTHONPATH", "").split(os.pathsep):
        found = sorted(glob.glob(os.path.join(directory or ".", "zelk.*.so")))
        if found:
            return os.path.abspath(found[0])
    return None


MODULE_PATH = _find_module_path()
MODULE_DIR = os.path.dirname(MODULE_PATH) if MODULE_PATH else None

# Native helper libraries built next to the tests, found through the environment that the test
# registration sets; tests that need one skip without it.
FAKE_VERSION_LIB = os.environ.get("ZELK_FAKE_VERSION_LIB")
FAKE_CORE_LIB = os.environ.get("ZELK_FAKE_CORE_LIB")

DOCSTRING = "\n    TODO: Python docstring\n    "
REINIT_MESSAGE = "Module 'zelk' has already been imported. Re-initialisation is not supported."
INTERPRETER_CHANGE_MESSAGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.")
OVERFLOW_MESSAGE = "value too large to convert to int"
NOT_AN_INTEGER_MESSAGE = "an integer is required"
# What PyLong_AsLong says about an int beyond 64 bits.
C_LONG_OVERFLOW_MESSAGE = "Python int too large to convert to C long"


def deprecated_int_result_message(type_name):
    return ("__int__ returned non-int (type %s).  The ability to return an instance of a strict "
            "subclass of int is deprecated, and may be removed in a future version of Python."
            % type_name)


# The suites run under the interpreter that the module was built for, or under the one whose
# headers were raised to the next version for it (the build says so in ZELK_BUILD_VERSION).
RUNTIME_VERSION = "%d.%d" % sys.version_info[:2]
BUILD_VERSION = os.environ.get("ZELK_BUILD_VERSION") or RUNTIME_VERSION
# Which side of ext_compat.h the build took: "internal" reads, the "documented" C API alone, or
# its "stable" ABI, one build for its version (BUILD_VERSION) and every later one.
BUILD_API = os.environ.get("ZELK_BUILD_API", "internal")
STABLE_ABI = BUILD_API == "stable"


def version_warned(runtime):
    """Whether the module warns when an interpreter of version `runtime` ("3.10") loads it."""
    if runtime == BUILD_VERSION:
        return False
    built = tuple(int(part) for part in BUILD_VERSION.split("."))
    running = tuple(int(part) for part in runtime.split("."))
    return not STABLE_ABI or running[0] != built[0] or running < built
# PyPy runs the module through its C API emulation: no reference counts to read, no _testcapi,
# no subinterpreters, and no ctypes.pythonapi.
PYPY = sys.implementation.name == "pypy"
# A debug build of CPython (python3.Nd) asserts what the C API only documents.
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


def collect_garbage():
    """Frees what nothing refers to any longer. On PyPy an object that the C API held goes only
    once its C-level stand-in has gone, one link of a chain per collection (a traceback holds its
    frames, a frame its locals): a few collections free the longest chains a call leaves."""
    for _ in range(4 if PYPY else 1):
        gc.collect()


def cpython_only(reason):
    """Skips a test of CPython's own machinery on PyPy, saying why."""
    return unittest.skipIf(PYPY, "on PyPy: " + reason)


def version_mismatch_message(runtime):
    return ("compiletime version %s of module 'zelk' does not match runtime version %s"
            % (BUILD_VERSION, runtime))


_PRELUDE = textwrap.dedent("""\
    import json as _json, sys as _sys
    _report_path = _sys.argv.pop(1)
    _reports = []
    def report(value):
        _reports.append(_json.dumps(value))  # as it is now, whatever later happens to it
        with open(_report_path, "w") as _file:
            _file.write("[" + ",".join(_reports) + "]")
    def outcome(call):
        # [result] on success, [exception type name, message] on failure.
        try:
            return [call()]
        except BaseException as error:
            return [type(error).__name__, str(error)]
    """)


class Run(object):
    """What a snippet left behind: exit status, the bytes of its fd 1 and fd 2, its reports."""

    def __init__(self, returncode, stdout, stderr, reports):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.reports = reports

    def describe(self):
        return "exit %s\nstdout: %r\nstderr:\n%s" % (
            self.returncode, self.stdout, self.stderr.decode("utf-8", "replace"))


def child_environment(unbuffered=True, preload=None, extra=None, python_path=None):
    env = dict(os.environ)
    if not unbuffered:
        env.pop("PYTHONUNBUFFERED", None)
    if preload:
        env["LD_PRELOAD"] = preload
    if python_path is not None:
        env["PYTHONPATH"] = python_path
    elif MODULE_DIR:
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in [MODULE_DIR, env.get("PYTHONPATH", "")] if p)
    env.update(extra or {})
    return env


def run_snippet(code, python_args=(), cwd=None, timeout=120, stdout=subprocess.PIPE,
                **env_options):
    """Runs `code` (a string, or a list of strings run one after the other; each dedented) in a
    fresh interpreter and returns a Run. Its fd 1 is a pipe read into Run.stdout, or `stdout`
    when given (a file object; Run.stdout is then None)."""
    parts = [code] if isinstance(code, str) else code
    fd, report_path = tempfile.mkstemp(suffix=".json", prefix="zelk-report-")
    os.close(fd)
    try:
        command = [sys.executable] + list(python_args) + [
            "-c", "\n".join([_PRELUDE] + [textwrap.dedent(part) for part in parts]), report_path]
        process = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=stdout,
                                 stderr=subprocess.PIPE, cwd=cwd, timeout=timeout,
                                 env=child_environment(**env_options))
        with open(report_path) as file:
            text = file.read()
        reports = json.loads(text) if text else []
    finally:
        os.unlink(report_path)
    return Run(process.returncode, process.stdout, process.stderr, reports)


class SnippetTestCase(unittest.TestCase):
    """A test case whose snippets must exit cleanly."""

    def run_ok(self, code, **options):
        run = run_snippet(code, **options)
        self.assertEqual(run.returncode, 0, run.describe())
        return run

    def reports_of(self, code, **options):
        return self.run_ok(code, **options).reports


def source_lines():
    with open(os.path.join(SOURCE_DIR, IMPLEMENTING_SOURCE)) as file:
        return file.read().split("\n")


def reporting_lines(function_name):
    """For each failure of the function's cold path, the source line (1-based) that reports it:
    the first report that control reaches after the failure's case label."""
    lines = source_lines()
    start = next(i for i, text in enumerate(lines)
                 if re.match(r"static .*ext_pw_4zelk_\d+%s_failed\(" % function_name, text))
    sites = {}
    pending = []
    for index in range(start + 1, len(lines)):
        text = lines[index]
        label = re.search(r"case ext::ArgFailure::(\w+):", text)
        if label:
            pending.append(label.group(1))
        if "ext_function_failed(" in text:
            for failure in pending:
                sites[failure] = index + 1
            pending = []
        if text.startswith("}"):
            break
    sites.pop("none", None)  # not a failure
    return sites


def require_module(test_case):
    if not MODULE_PATH:
        raise unittest.SkipTest("the built module was not found (set ZELK_MODULE)")


def flush_c_stdout():
    ctypes.CDLL(None).fflush(None)


def silence_c_stdout():
    """Points fd 1 at /dev/null for the rest of this process, so that the "Add" that every
    zelk.add call writes there does not litter the test log (which goes to stderr)."""
    sys.stdout.flush()
    flush_c_stdout()
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def raised_by(call):
    """The exception that call() raises, with its traceback (assertRaises strips it)."""
    try:
        call()
    except Exception as error:
        return error
    raise AssertionError("no exception raised")
