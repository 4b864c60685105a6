"""The interpreter-version check at import, on the interpreter the module was built for and when
a build is loaded by another interpreter version."""
import glob
import json
import os
import re
import subprocess
import sys
import textwrap
import unittest

from zelk_testing import (BUILD_VERSION, MODULE_PATH as MODULE, RUNTIME_VERSION, STABLE_ABI,
                          cpython_only, require_module, version_warned)

# A PyPy build calls PyPy's C API by PyPy's own names, which no CPython provides.
needs_a_cpython_build = cpython_only("no CPython can load a module built for PyPy")

# Loads the module at argv[1] by its path in a fresh interpreter, with the warnings filter given in
# argv[2], and reports what happened as JSON.
LOADER = textwrap.dedent("""
    import importlib.util, json, sys, warnings
    result = {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(sys.argv[2])
        spec = importlib.util.spec_from_file_location("zelk", sys.argv[1])
        try:
            module = importlib.util.module_from_spec(spec)
        except ImportError as error:
            print(json.dumps({"load_error": str(error)}))
            sys.exit(0)
        try:
            spec.loader.exec_module(module)
            result["imported"] = True
        except Exception as error:
            entries = []
            tb = error.__traceback__
            while tb is not None:
                entries.append(tb.tb_frame.f_code.co_filename)
                tb = tb.tb_next
            result["error"] = [type(error).__name__, str(error), entries]
    result["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
    print(json.dumps(result))
""")


def installed_interpreters():
    """{"3.N": path} for the CPython 3 interpreters installed beside the running one."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    if not os.path.isdir(os.path.join(root, "versions")):
        root = "/root/.pyenv"
    found = {}
    for bin_dir in sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin"))):
        for path in glob.glob(os.path.join(bin_dir, "python3.*")):
            match = re.match(r"python(3\.\d+)$", os.path.basename(path))
            if match and os.access(path, os.X_OK):
                found.setdefault(match.group(1), path)
    return found


def load(python, warnings_filter):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    done = subprocess.run([python, "-c", LOADER, MODULE, warnings_filter],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                          universal_newlines=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError("%s exited with %d: %s" % (python, done.returncode, done.stderr))
    return json.loads(done.stdout.strip().splitlines()[-1])


def mismatch_message(runtime):
    return ("compiletime version %s of module 'zelk' does not match runtime version %s"
            % (BUILD_VERSION, runtime))


class VersionCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def test_no_warning_on_the_interpreter_it_was_built_for(self):
        result = load(sys.executable, "always")
        # Unless it was built from the headers of a version not yet released.
        warned = [] if not version_warned(RUNTIME_VERSION) else [
            ["RuntimeWarning", mismatch_message(RUNTIME_VERSION)]]
        self.assertEqual(result, {"imported": True, "warnings": warned})

    @needs_a_cpython_build
    def test_other_interpreter_versions_warn_once_and_import(self):
        others = {v: p for v, p in installed_interpreters().items() if v != BUILD_VERSION}
        if not others:
            self.skipTest("no other CPython 3 interpreter installed")
        for runtime, python in sorted(others.items()):
            with self.subTest(runtime=runtime):
                result = load(python, "always")
                if "undefined symbol" in result.get("load_error", ""):
                    # A build reaches interpreter functions that only some versions export.
                    self.skipTest("a %s build cannot be loaded by %s: %s"
                                  % (BUILD_VERSION, runtime, result["load_error"]))
                self.assertEqual(result, {
                    "imported": True,
                    "warnings": [["RuntimeWarning", mismatch_message(runtime)]]
                    if version_warned(runtime) else [],
                })

    @needs_a_cpython_build
    def test_warnings_as_errors_fail_the_import_without_a_module_entry(self):
        others = {v: p for v, p in installed_interpreters().items() if v != BUILD_VERSION}
        if not others:
            self.skipTest("no other CPython 3 interpreter installed")
        for runtime, python in sorted(others.items()):
            with self.subTest(runtime=runtime):
                result = load(python, "error")
                if "undefined symbol" in result.get("load_error", ""):
                    self.skipTest("a %s build cannot be loaded by %s" % (BUILD_VERSION, runtime))
                if not version_warned(runtime):  # a stable-ABI build, made for this one too
                    self.assertEqual(result, {"imported": True, "warnings": []})
                    continue
                self.assertEqual(result["error"][:2], ["RuntimeWarning", mismatch_message(runtime)])
                self.assertNotIn("pkg/zelk.pyi", result["error"][2])

    @unittest.skipUnless(BUILD_VERSION == "3.6" and not STABLE_ABI,
                         "the 3.6 build is the one loaded under 3.10 and warns there")
    def test_two_digit_minor_version_is_printed_whole(self):
        python = installed_interpreters().get("3.10")
        if python is None:
            self.skipTest("no CPython 3.10 installed")
        result = load(python, "always")
        self.assertEqual(result["warnings"], [[
            "RuntimeWarning",
            "compiletime version 3.6 of module 'zelk' does not match runtime version 3.10"]])


if __name__ == "__main__":
    unittest.main()
