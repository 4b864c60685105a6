"""The shared object's exported names, and the module's calls of its own core."""

import shutil
import subprocess
import unittest

from zelk_testing import (BUILD_API, FAKE_CORE_LIB, MODULE_PATH, PYPY, SnippetTestCase,
                          require_module)

# The interpreter's private names that its documented macros spell out (its singletons, and the
# release of an object's last reference).
PRIVATE_NAMES_OF_DOCUMENTED_MACROS = {"_Py_NoneStruct", "_Py_TrueStruct", "_Py_FalseStruct",
                                      "_Py_Dealloc"}


class ExportsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_module(cls)
        if not shutil.which("nm"):
            raise unittest.SkipTest("nm is not installed")

    def test_dynamic_symbols(self):
        listing = subprocess.run(["nm", "-D", "--defined-only", MODULE_PATH],
                                 stdout=subprocess.PIPE, check=True).stdout.decode()
        defined = {}
        for line in listing.splitlines():
            fields = line.split()
            if len(fields) == 3:
                defined[fields[2]] = fields[1]
        # (name, nm's symbol kinds: code, or data whether initialised or not)
        expected = [("PyInit_zelk", "T"), ("add", "T"), ("sub", "T"),
                    ("ext_module_is_main_zelk", "BD")]
        for name, kinds in expected:
            with self.subTest(symbol=name):
                self.assertIn(name, defined)
                self.assertIn(defined[name], kinds)
        # Nothing else of the module's own leaks out: the helpers all have internal linkage.
        own = sorted(name for name in defined
                     if name.startswith(("ext_", "Ext_")) or "zelk" in name)
        self.assertEqual(own, ["PyInit_zelk", "ext_module_is_main_zelk"])

    @unittest.skipIf(BUILD_API == "internal" or PYPY, "a build that reads the internals")
    def test_documented_side_imports_no_private_name(self):
        listing = subprocess.run(["nm", "-D", "--undefined-only", MODULE_PATH],
                                 stdout=subprocess.PIPE, check=True).stdout.decode()
        private = {line.split()[-1].split("@")[0] for line in listing.splitlines()
                   if line.split()[-1].startswith("_Py")}
        self.assertLessEqual(private, PRIVATE_NAMES_OF_DOCUMENTED_MACROS)


class CoreBindingTest(SnippetTestCase):
    """Another library exporting add and sub ahead of the module must not take over its calls."""

    @classmethod
    def setUpClass(cls):
        require_module(cls)
        if not FAKE_CORE_LIB:
            raise unittest.SkipTest("the interposing core library was not built")

    def test_preloaded_add_and_sub_not_called(self):
        run = self.run_ok("""
            import ctypes, zelk
            # The preloaded definitions come first in the global lookup...
            everyone = ctypes.CDLL(None)
            report(["global lookup", everyone.add(2, 3), everyone.sub(2, 3)])
            # ... but not in the module's calls of its core.
            report(["module", zelk.add(2, 3), zelk.sub(2, 3)])
            # The shared object's own exports still are its core.
            own = ctypes.CDLL(zelk.__file__)
            report(["own exports", own.add(2, 3), own.sub(2, 3)])
            ctypes.CDLL(None).fflush(None)
        """, preload=FAKE_CORE_LIB)
        self.assertEqual(run.reports, [["global lookup", 1000, 1000], ["module", 5, -1],
                                       ["own exports", 5, -1]])
        # Only the module's add and the own export wrote; the preloaded add writes nothing.
        self.assertEqual(run.stdout, b"AddAdd")


if __name__ == "__main__":
    unittest.main()
