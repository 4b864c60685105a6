"""Importing zelk: the module namespace, the one-time exec, the single interpreter, the spec
attributes copied by create, the version check and the embedding host's __main__ flag.

Every case runs in a fresh interpreter: the module's state is made once per process.
"""

import os
import platform
import shutil
import tempfile
import textwrap
import unittest

from zelk_testing import (BUILD_VERSION, DOCSTRING, FAKE_VERSION_LIB, INTERPRETER_CHANGE_MESSAGE,
                          MODULE_PATH, PYPY, REINIT_MESSAGE, SnippetTestCase, cpython_only,
                          STABLE_ABI, require_module, version_mismatch_message, version_warned)

# What _imp.exec_dynamic returns for an exec that succeeded: CPython passes on the exec slot's 0,
# PyPy returns nothing.
EXEC_DONE = None if PYPY else 0


class NamespaceTest(SnippetTestCase):
    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def test_module_dictionary(self):
        [found] = self.reports_of("""
            import builtins, importlib.util, sys, types
            spec = importlib.util.find_spec("zelk")
            import zelk
            namespace = vars(zelk)
            report({
                "keys": sorted(namespace),
                "name": zelk.__name__,
                "doc": zelk.__doc__,
                "builtins is the builtins module": namespace["__builtins__"] is builtins,
                "__test__": [type(namespace["__test__"]).__name__, len(namespace["__test__"])],
                "loader from spec": namespace["__loader__"] is zelk.__spec__.loader,
                "loader type": type(namespace["__loader__"]).__name__,
                "file from spec": namespace["__file__"] == spec.origin,
                "package": namespace["__package__"],
                "registered": sys.modules["zelk"] is zelk,
                "runtime module": type(sys.modules.get("ext_runtime")).__name__,
                # PyPy's functions of the C API have no __self__ at all.
                "functions": [[f.__name__, f.__module__, f.__doc__,
                               getattr(f, "__self__", None) is None,
                               type(f).__name__, type(f) is types.BuiltinFunctionType]
                              for f in (zelk.add, zelk.sub)],
            })
        """)
        self.assertEqual(found, {
            "keys": ["__builtins__", "__doc__", "__file__", "__loader__", "__name__",
                     "__package__", "__spec__", "__test__", "add", "sub"],
            "name": "zelk",
            "doc": None,
            "builtins is the builtins module": True,
            "__test__": ["dict", 0],
            "loader from spec": True,
            "loader type": "ExtensionFileLoader",
            "file from spec": True,
            "package": "",
            "registered": True,
            "runtime module": "module",
            # PyPy's are not of its own built-in functions' type, only named like CPython's.
            "functions": [[name, "zelk", DOCSTRING, True, "builtin_function_or_method", not PYPY]
                          for name in ("add", "sub")],
        })

    def test_imported_again_after_removal_is_the_same_module(self):
        [found] = self.reports_of("""
            import importlib, sys
            import zelk
            first, add = zelk, zelk.add
            del sys.modules["zelk"]
            import zelk
            again = zelk
            # A repeated exec of the same module does nothing: the functions stay as they were.
            reloaded = importlib.reload(zelk)
            # Each import takes a reference of its own to the module that create hands back
            # (PyPy has no counts to read, but runs the imports all the same).
            count = getattr(sys, "getrefcount", lambda module: 0)
            held = count(first)
            for _ in range(100):
                del sys.modules["zelk"]
                import zelk
            report([again is first, reloaded is first, zelk.add is add,
                    sys.modules["zelk"] is first, zelk.add(2, 3), zelk.sub(2, 3),
                    count(first) - held])
        """)
        self.assertEqual(found, [True, True, True, True, 5, -1, 0])


    def test_import_under_an_audit_hook_that_refuses_compiling(self):
        # The stable ABI's module compiles the code of its traceback entries at import.
        [found] = self.reports_of("""
            import sys
            def refuse(event, arguments):
                if event == "compile":
                    raise PermissionError("no compiling here")
            getattr(sys, "addaudithook", lambda hook: None)(refuse)
            report([hasattr(sys, "addaudithook"), outcome(lambda: __import__("zelk").add(2, 3))])
        """)
        audited, imported = found
        self.assertEqual(imported, ["PermissionError", "no compiling here"]
                         if STABLE_ABI and audited else [5])


class PackageQualifiedNameTest(SnippetTestCase):
    """The module file copied into a package is imported as pkg_x.zelk."""

    @classmethod
    def setUpClass(cls):
        require_module(cls)
        cls.root = tempfile.mkdtemp(prefix="zelk-package-")
        package = os.path.join(cls.root, "pkg_x")
        os.mkdir(package)
        open(os.path.join(package, "__init__.py"), "w").close()
        cls.copy = os.path.join(package, os.path.basename(MODULE_PATH))
        shutil.copy(MODULE_PATH, cls.copy)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def import_qualified(self, zelk_taken):
        [found] = self.reports_of("""
            import sys
            if ZELK_TAKEN:
                sys.modules["zelk"] = "taken"
            import pkg_x.zelk as module
            report({
                "name": module.__name__,
                "package": module.__package__,
                "file": module.__file__,
                "has __path__": hasattr(module, "__path__"),
                "under qualified name": sys.modules["pkg_x.zelk"] is module,
                "under zelk": sys.modules.get("zelk") is module,
                "zelk entry": sys.modules.get("zelk") if ZELK_TAKEN else "not checked",
                "function module": module.add.__module__,
                "works": [module.add(2, 3), module.sub(2, 3)],
            })
        """.replace("ZELK_TAKEN", repr(zelk_taken)), python_path=self.root)
        return found

    def test_registered_under_both_names(self):
        found = self.import_qualified(zelk_taken=False)
        self.assertEqual(found, {
            "name": "pkg_x.zelk", "package": "pkg_x", "file": self.copy, "has __path__": False,
            "under qualified name": True, "under zelk": True, "zelk entry": "not checked",
            "function module": "zelk", "works": [5, -1]})

    def test_taken_zelk_entry_left_alone(self):
        found = self.import_qualified(zelk_taken=True)
        self.assertEqual(found["zelk entry"], "taken")
        self.assertEqual(found["under qualified name"], True)
        self.assertEqual(found["works"], [5, -1])


class OneModuleOneInterpreterTest(SnippetTestCase):
    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def test_second_exec_with_another_module_refused(self):
        [found] = self.reports_of("""
            import _imp, importlib.util, sys
            spec = importlib.util.find_spec("zelk")
            # Until an exec succeeds, each create makes a new module object.
            first = _imp.create_dynamic(spec)
            second = _imp.create_dynamic(spec)
            results = {"distinct": first is not second, "first exec": _imp.exec_dynamic(first)}
            results["second exec"] = outcome(lambda: _imp.exec_dynamic(second))
            results["second untouched"] = "add" not in vars(second)
            results["first again"] = _imp.exec_dynamic(first)
            results["first works"] = [first.add(2, 3), first.sub(2, 3)]
            results["registered"] = sys.modules["zelk"] is first
            import zelk
            results["import gives first"] = zelk is first
            report(results)
        """)
        self.assertEqual(found, {
            "distinct": True, "first exec": EXEC_DONE,
            "second exec": ["RuntimeError", REINIT_MESSAGE],
            "second untouched": True, "first again": EXEC_DONE, "first works": [5, -1],
            "registered": True, "import gives first": True})

    def test_exec_retried_after_late_failures_keeps_one_of_each(self):
        # Each exec that fails after it took the module-wide objects leaves them to the next
        # attempt, which must let go of what it replaces.
        [found] = self.reports_of("""
            import builtins, importlib.util, sys
            spec = importlib.util.find_spec("zelk")

            class Clash(object):
                # Its key meets exec's lookup of "zelk" in the registry, and fails it.
                def __hash__(self):
                    return hash("zelk")

                def __eq__(self, other):
                    raise LookupError("clash")

            sys.modules[Clash()] = None
            count = getattr(sys, "getrefcount", lambda module: 0)  # PyPy has no counts to read
            counts = []
            for _ in range(20):
                failed = outcome(lambda: spec.loader.exec_module(
                    importlib.util.module_from_spec(spec)))
                counts.append([count(builtins), count(sys.modules["ext_runtime"])])
            for key in [key for key in sys.modules if type(key) is Clash]:
                del sys.modules[key]
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            report([failed, counts[-1] == counts[1], module.add(2, 3)])
        """)
        self.assertEqual(found, [["LookupError", "clash"], True, 5])

    # Run in a subinterpreter; it adds what its import did to a file the main one reads later.
    IN_SUBINTERPRETER = textwrap.dedent("""
        import json, sys
        try:
            if WARM_UP:
                raise LookupError("zelk left alone")
            import zelk
            result = [zelk.add(2, 3)]
        except BaseException as error:
            result = [type(error).__name__, str(error)]
        result.append("zelk" in sys.modules)
        with open(OUTCOME_PATH, "a") as file:
            file.write(json.dumps(result) + "\\n")
    """)

    def run_in_subinterpreter_snippet(self, main_first, warm_ups):
        return """
            import _testcapi, json, os, tempfile
            fd, path = tempfile.mkstemp()
            os.close(fd)
            if MAIN_FIRST:
                import zelk
            # Back to back, with as little as possible between them, so that the allocator
            # hands a later one the memory of one that ended. The first ones may leave zelk
            # alone: the allocator may settle only then, and the next ones share an address.
            codes = ["OUTCOME_PATH = %r\\nWARM_UP = %r\\n" % (path, n < WARM_UPS) + CODE
                     for n in range(WARM_UPS + 5)]
            statuses = [_testcapi.run_in_subinterp(code) for code in codes]
            with open(path) as file:
                in_subinterpreters = [json.loads(line) for line in file][WARM_UPS:]
            os.unlink(path)
            in_main = outcome(lambda: __import__("zelk").add(1, 2))
            report([statuses, in_subinterpreters, in_main])
        """.replace("MAIN_FIRST", repr(main_first)).replace("WARM_UPS", repr(warm_ups)).replace(
            "CODE", repr(self.IN_SUBINTERPRETER))

    @cpython_only("there are no subinterpreters")
    def test_import_refused_in_a_second_interpreter(self):
        # (main interpreter imports first, subinterpreters leaving zelk alone first, the outcomes
        # of the five after them, main's outcome). Once the module lives in one interpreter,
        # every other is refused, even one made after that one ended.
        refused = ["ImportError", INTERPRETER_CHANGE_MESSAGE, False]
        first_in_subinterpreter = [[5, True]] + [refused] * 4
        # Where the allocator settles differs between versions and runs: several warm-ups are
        # tried, each in a fresh process.
        cases = [(True, 0, [refused] * 5, [3])] + [
            (False, warm_ups, first_in_subinterpreter,
             ["ImportError", INTERPRETER_CHANGE_MESSAGE]) for warm_ups in range(4)]
        for main_first, warm_ups, in_subinterpreters, in_main in cases:
            with self.subTest(main_first=main_first, warm_ups=warm_ups):
                [found] = self.reports_of(
                    self.run_in_subinterpreter_snippet(main_first, warm_ups))
                self.assertEqual(found, [[0] * (warm_ups + 5), in_subinterpreters, in_main])

    def test_isolated_interpreter_refused_before_the_module_runs(self):
        # From 3.14 any program can make isolated interpreters; the interpreter itself refuses
        # them a module without per-interpreter support, before create is called, so the main
        # interpreter keeps the module, or may still import it.
        try:
            import concurrent.interpreters  # noqa: F401
        except ImportError:
            self.skipTest("no concurrent.interpreters before 3.14")
        for main_first in (True, False):
            with self.subTest(main_first=main_first):
                [found] = self.reports_of("""
                    import sys
                    from concurrent import interpreters
                    if MAIN_FIRST:
                        import zelk
                    isolated = interpreters.create()
                    try:
                        isolated.exec("import zelk")
                        refusal = None
                    except interpreters.ExecutionFailed as failure:
                        refusal = [failure.excinfo.type.__name__, failure.excinfo.msg]
                    isolated.close()
                    registered = "zelk" in sys.modules
                    import zelk
                    report([refusal, registered, zelk.add(2, 3)])
                """.replace("MAIN_FIRST", repr(main_first)))
                self.assertEqual(found, [
                    ["ImportError", "module zelk does not support loading in subinterpreters"],
                    main_first, 5])


class SpecCopiedByCreateTest(SnippetTestCase):
    """Create copies loader, origin, parent and submodule_search_locations from whatever spec
    object it is given; until an exec succeeds, every create makes a new module from its spec."""

    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def test_hand_made_specs(self):
        [found] = self.reports_of("""
            import _imp, ctypes, os

            class Spec(object):
                def __init__(self, **attributes):
                    self.name = "zelk"
                    self.origin = os.environ["ZELK_MODULE"]
                    vars(self).update(attributes)

            class Failing(Spec):
                @property
                def parent(self):
                    raise ValueError("no parent here")

            class FailingLoader(Spec):
                @property
                def loader(self):
                    raise KeyError("loader")

            def made(spec, create=_imp.create_dynamic):
                module = create(spec)
                namespace = vars(module)
                return {key: namespace[key] if key in namespace else "absent"
                        for key in ("__name__", "__loader__", "__file__", "__package__",
                                    "__path__")}

            LOADER, LOCATIONS = "the loader", ["somewhere"]
            found = {
                "no loader": made(Spec()),
                "every attribute": made(Spec(loader=LOADER, parent="p", name="p.zelk",
                                             submodule_search_locations=LOCATIONS)),
                "parent raises": outcome(lambda: made(Failing(loader=LOADER))),
                "loader raises": outcome(lambda: made(FailingLoader())),
                "path": os.environ["ZELK_MODULE"],
            }
            # _imp.create_dynamic reads the origin itself to find the file; a spec whose origin
            # is None goes to the create slot the way the import system hands it over. PyPy
            # offers no way there from Python (its ctypes has no pythonapi).
            if hasattr(ctypes, "pythonapi"):
                library = ctypes.PyDLL(os.environ["ZELK_MODULE"])
                library.PyInit_zelk.restype = ctypes.c_void_p
                definition = library.PyInit_zelk()
                from_spec = ctypes.pythonapi.PyModule_FromDefAndSpec2
                from_spec.restype = ctypes.py_object
                from_spec.argtypes = (ctypes.c_void_p, ctypes.py_object, ctypes.c_int)
                found["all None"] = made(Spec(loader=None, parent=None, origin=None,
                                              submodule_search_locations=None),
                                         create=lambda spec: from_spec(definition, spec, 1013))
            report(found)
        """, extra={"ZELK_MODULE": MODULE_PATH})
        path = found.pop("path")
        if PYPY:
            self.assertNotIn("all None", found)
            found["all None"] = "not reachable"
        self.assertEqual(found, {
            # A spec without a loader still gives a module; the module keeps its own default.
            "no loader": {"__name__": "zelk", "__loader__": None, "__file__": path,
                          "__package__": None, "__path__": "absent"},
            "every attribute": {"__name__": "p.zelk", "__loader__": "the loader",
                                "__file__": path, "__package__": "p",
                                "__path__": ["somewhere"]},
            # None is copied for loader, origin and parent, but never makes a __path__.
            "all None": "not reachable" if PYPY else {
                "__name__": "zelk", "__loader__": None, "__file__": None, "__package__": None,
                "__path__": "absent"},
            "parent raises": ["ValueError", "no parent here"],
            "loader raises": ["KeyError", "'loader'"],
        })


@unittest.skipUnless(FAKE_VERSION_LIB, "the Py_GetVersion interposer was not built")
class VersionCheckTest(SnippetTestCase):
    """The version that the module's Py_GetVersion reports is set by an audit library."""

    @classmethod
    def setUpClass(cls):
        require_module(cls)

    IMPORT_RECORDING_WARNINGS = """
        import platform, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import zelk
        report({
            # Only the module's own lookup is redirected.
            "interpreter's own": platform.python_version(),
            "warnings": [[w.category.__name__, str(w.message)] for w in caught],
            "works": zelk.add(2, 3),
        })
    """

    def import_under(self, version, code, **options):
        return self.reports_of(code, extra={"LD_AUDIT": FAKE_VERSION_LIB,
                                            "ZELK_FAKE_PY_VERSION": version}, **options)

    def test_mismatch_warns_once(self):
        # (version string, its major.minor as the warning names it); only the build's own
        # major.minor goes without a warning (on the stable ABI, every later one too).
        cases = [
            (BUILD_VERSION + ".0", BUILD_VERSION),
            (BUILD_VERSION + ".99+ (fake)", BUILD_VERSION),
            ("3.6.15", "3.6"),
            ("3.7.16 (fake)", "3.7"),
            ("3.10.1 (fake)", "3.10"),  # read whole, not as 3.1
            ("3.60.2 (fake)", "3.60"),
            ("4.6.1", "4.6"),
            ("2.7.18", "2.7"),
        ]
        for version, runtime in cases:
            with self.subTest(version=version):
                [found] = self.import_under(version, self.IMPORT_RECORDING_WARNINGS)
                expected = [] if not version_warned(runtime) else [
                    ["RuntimeWarning", version_mismatch_message(runtime)]]
                self.assertEqual(found, {"interpreter's own": platform.python_version(),
                                         "warnings": expected, "works": 5})

    def test_mismatch_as_error_fails_import(self):
        [found] = self.import_under("2.7.18 (fake)", """
            import sys, traceback, warnings
            try:
                import zelk
                failure = None
            except BaseException as error:
                failure = [type(error).__name__, str(error),
                           [entry[0] for entry in traceback.extract_tb(error.__traceback__)]]
            registered = "zelk" in sys.modules
            # Nothing of the failed attempt stands in the way of another one.
            warnings.simplefilter("ignore")
            import zelk
            report([failure, registered, zelk.add(2, 3)])
        """, python_args=["-W", "error::RuntimeWarning"])
        failure, registered, works = found
        self.assertEqual(failure[:2], ["RuntimeWarning", version_mismatch_message("2.7")])
        # No traceback entry from the module for a refusal before its state exists.
        self.assertNotIn("pkg/zelk.pyi", failure[2])
        self.assertFalse(registered)
        self.assertEqual(works, 5)


class MainModuleFlagTest(SnippetTestCase):
    """An embedding host sets the exported ext_module_is_main_zelk before the import."""

    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def test_flag_names_module_main(self):
        # (flag value, the module's __name__)
        for flag, name in ((0, "zelk"), (1, "__main__"), (-7, "__main__")):
            with self.subTest(flag=flag):
                [found] = self.reports_of("""
                    import ctypes, os, sys
                    # The same file, so the same loaded object as the import will use. Only data
                    # is touched, so any loader will do (PyPy's ctypes has no PyDLL).
                    library = ctypes.CDLL(os.environ["ZELK_MODULE"])
                    flag = ctypes.c_int.in_dll(library, "ext_module_is_main_zelk")
                    initially = flag.value
                    flag.value = {flag}
                    import zelk
                    report([initially, zelk.__name__, sys.modules["zelk"] is zelk,
                            sys.modules["__main__"] is zelk, zelk.add.__module__,
                            zelk.add(2, 3)])
                """.replace("{flag}", str(flag)), extra={"ZELK_MODULE": MODULE_PATH})
                self.assertEqual(found, [0, name, True, False, "zelk", 5])


if __name__ == "__main__":
    unittest.main()
