"""Module exec under failing allocations: every fault point of an import, in a fresh process each,
must end in an exception with the right traceback entry, never in a crash, and leave the process
able to import the module once memory is back."""

import ast
import concurrent.futures
import os
import re
import subprocess
import sys
import textwrap
import unittest

from zelk_testing import BUILD_VERSION, RUNTIME_VERSION, STABLE_ABI, version_warned

try:
    import _testcapi
except (ImportError, OSError):  # PyPy builds it from a C source that Debian does not ship
    _testcapi = None

SOURCE_DIR = os.environ.get(
    "ZELK_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
MODULE_SOURCE = "pkg/zelk.pyi"
ENTRY_NAME = re.compile(r"init zelk(?: \(pkg/zelk\.cpp:(\d+)\))?$")
MAX_FAULT_POINTS = 3000  # an import that still fails this far in never ends


def _site(before, module_line):
    return before + r'ext_exec_failed\(EXT_SITE\("init zelk", %d\)\)' % module_line


# Exec's failure sites, told apart by the text of the line that reports them, with the line of the
# module source that their work belongs to.
EXEC_SITES = [
    ("builtins module", _site(r"&ext_b, .*", 1), 1),
    ("runtime module", _site(r"&ext_runtime_module, .*", 1), 1),
    ("__builtins__", _site(r'"__builtins__".*', 1), 1),
    ("strings", _site(r"Ext_InitStrings.*", 1), 1),
    ("registry", _site(r"PyDict_SetItem\(modules, .*", 1), 1),
    ("add function", _site(r"if \(!function\) return ", 12), 12),
    ("store add", _site(r"ext_n_s_add.*", 12), 12),
    ("sub function", _site(r"if \(!function\) return ", 20), 20),
    ("store sub", _site(r"ext_n_s_sub.*", 20), 20),
    ("__test__ dict", _site(r"if \(!test_dict\) return ", 1), 1),
    ("store __test__", _site(r"ext_n_s_test.*", 1), 1),
]
# How the import machinery itself reports some failed allocations outside exec.
IMPORT_SYSTEM_FAILURES = [["RuntimeError", "can't allocate lock"], ["OSError", "[Errno 0] Error"]]
# Sites that fail before the runtime module or the setting's name exist in a first exec.
EARLY_SITES = {"builtins module", "runtime module", "__builtins__", "strings"}

_ENTRIES = """
    def entries_of(error):
        found = []
        tb = error.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            if code.co_filename == "pkg/zelk.pyi":
                found.append([code.co_name, tb.tb_lineno, code.co_firstlineno])
            tb = tb.tb_next
        return found

    def setting_state():
        runtime = sys.modules.get("ext_runtime")
        if runtime is None:
            return "no module"
        return repr(vars(runtime).get("cline_in_traceback", "absent"))
"""

# A stable-ABI build compiles the code of its traceback entries at its first exec, and the
# interpreter's compiler crashes on a failed allocation (3.6's too): there an exec that fails late,
# its entries made, comes before a walk. Its lookup of "zelk" in the registry meets a key that
# cannot be compared.
FAIL_LATE_FIRST = """
    import importlib.machinery, importlib.util
    class Clash(object):
        def __hash__(self):
            return hash("zelk")

        def __eq__(self, other):
            raise LookupError("clash")

    _spec, _clash = importlib.machinery.PathFinder.find_spec("zelk"), Clash()
    sys.modules[_clash] = None
    try:
        _spec.loader.exec_module(importlib.util.module_from_spec(_spec))
    except LookupError:
        pass
    del sys.modules[_clash]
    _drained = [{} for _ in range(200)]  # of the dictionaries that exec freed, for reuse
""" if STABLE_ABI else ""

# One import with allocations failing from argv[1] on, up to argv[2] (0: no end); then, memory
# back, an import that must work.
IMPORT_CHILD = _ENTRIES + """
    start, stop = int(sys.argv[1]), int(sys.argv[2])
    FAIL_LATE_FIRST
    _testcapi.set_nomemory(start, stop)
    try:
        import zelk
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        failure = [type(error).__name__, str(error), entries_of(error)]
    else:
        _testcapi.remove_mem_hooks()
        failure = None
    setting = setting_state()
    sys.modules.pop("zelk", None)
    import zelk
    works = [zelk.sub(7, 5), zelk.add(-1, 1)]
    try:
        zelk.add("x", 1)
    except TypeError as error:
        after = entries_of(error)
    print("\\nRESULT " + repr([failure, setting, works, after]))
"""

# Exec run again and again on new module objects, the n-th allocation failing in the n-th
# attempt, until one succeeds. Extra keys in the module dictionary (argv[1]) move its growth onto
# the stores of exec; an emptied free list makes the function objects allocate. argv[2] presets
# the setting: "shown", "hidden", or "fresh" for none; with argv[3] "foreign", another module
# holds the name "zelk" throughout.
MARCH_CHILD = _ENTRIES + """
    import importlib.util, types
    dummies, preset = int(sys.argv[1]), sys.argv[2]
    if preset != "fresh":
        runtime = types.ModuleType("ext_runtime")
        runtime.cline_in_traceback = preset == "shown"
        sys.modules["ext_runtime"] = runtime
    FAIL_LATE_FIRST
    spec = importlib.util.find_spec("zelk")
    foreign = sys.modules.setdefault("zelk", types.ModuleType("zelk")) if sys.argv[3:] else None
    keep = [[].append for _ in range(1000)]
    attempts = []
    for n in range(1000):
        module = importlib.util.module_from_spec(spec)
        for i in range(dummies):
            setattr(module, "dummy%d" % i, i)
        # A method call on a built-in object leaves a function object on the free list, which
        # exec would take instead of allocating: empty it again, with no method call after.
        keep += [[].append for _ in range(8)]
        _testcapi.set_nomemory(n, n + 1)
        try:
            spec.loader.exec_module(module)
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            keep += [module]  # its functions must not go back to the free list either
            attempts.append([type(error).__name__, str(error), entries_of(error),
                             setting_state(), sys.modules.get("zelk") is foreign])
            continue
        _testcapi.remove_mem_hooks()
        break
    zelk = module if foreign else sys.modules["zelk"]  # entered there by exec if the name was free
    codes = []
    for call in (lambda: zelk.add("x", 1), lambda: zelk.add("x", 1), lambda: zelk.add(1),
                 lambda: zelk.sub(1), lambda: zelk.sub(1, "x")):
        try:
            call()
        except TypeError as error:
            tb = error.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            codes.append(tb.tb_frame.f_code)
    after = [[code.co_name, code.co_firstlineno] for code in codes]
    same = [codes[0] is codes[1], codes[0] is codes[2], codes[3] is codes[4]]
    print("\\nRESULT " + repr([attempts, after, same, zelk.sub(7, 5)]))
"""

# An exec that fails late (its lookup of "zelk" in the registry meets a key that cannot be
# compared), then exec again and again with the n-th allocation failing, the line hidden.
RETRY_CHILD = _ENTRIES + """
    import importlib.util, types
    runtime = types.ModuleType("ext_runtime")
    runtime.cline_in_traceback = True
    sys.modules["ext_runtime"] = runtime
    spec = importlib.util.find_spec("zelk")

    class Clash(object):
        def __hash__(self):
            return hash("zelk")

        def __eq__(self, other):
            raise LookupError("clash")

    clash = Clash()
    sys.modules[clash] = None
    try:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    except BaseException as error:
        late = [type(error).__name__, str(error), entries_of(error)]
    del sys.modules[clash]
    runtime.cline_in_traceback = False
    attempts = []
    for n in range(1000):
        module = importlib.util.module_from_spec(spec)
        _testcapi.set_nomemory(n, n + 1)
        try:
            spec.loader.exec_module(module)
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            attempts.append([type(error).__name__, str(error), entries_of(error)])
            continue
        _testcapi.remove_mem_hooks()
        break
    print("\\nRESULT " + repr([late, attempts, sys.modules["zelk"].sub(7, 5)]))
"""


def run_child(code, *args):
    code = textwrap.dedent(code).replace("FAIL_LATE_FIRST", textwrap.dedent(FAIL_LATE_FIRST))
    process = subprocess.run(
        [sys.executable, "-S", "-c", "import sys, _testcapi\n" + code]
        + [str(a) for a in args],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    lines = [line for line in process.stdout.decode().splitlines() if line.startswith("RESULT ")]
    if process.returncode != 0 or not lines:
        raise AssertionError("child %r exited with %d:\n%s" % (
            args, process.returncode, process.stderr.decode("utf-8", "replace")))
    return ast.literal_eval(lines[-1][len("RESULT "):])


def run_children(code, argument_lists):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        return list(pool.map(lambda args: run_child(code, *args), argument_lists))


def source_lines():
    with open(os.path.join(SOURCE_DIR, "pkg/zelk.cpp")) as file:
        return file.read().split("\n")


# Which allocations an import makes, and so which failures can be provoked, is particular to the
# interpreter's version; later import systems also retry for ever after some of them.
fault_points_of_3_6 = unittest.skipUnless(sys.version_info[:2] == (3, 6),
                                          "the fault points are those of CPython 3.6")


@unittest.skipUnless(_testcapi and hasattr(_testcapi, "set_nomemory"),
                     "needs _testcapi.set_nomemory")
@unittest.skipIf(version_warned(RUNTIME_VERSION),
                 "a build for %s warns at each exec, and the interpreter passes over some failed "
                 "allocations of the warning, ending a march of faults early" % BUILD_VERSION)
class ImportFaultTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.lines = source_lines()

    def check_entry(self, entry):
        """Checks one traceback entry of exec; returns its site name, or None when its line is
        hidden."""
        name, line, first_line = entry
        match = ENTRY_NAME.match(name)
        self.assertTrue(match, name)
        self.assertEqual(line, first_line)
        if not match.group(1):
            self.assertIn(line, (1, 12, 20))
            return None
        text = self.lines[int(match.group(1)) - 1]
        if text.strip().startswith("return "):  # the failing call is on the line above
            text = self.lines[int(match.group(1)) - 2] + " " + text
        sites = [(site, module_line) for site, pattern, module_line in EXEC_SITES
                 if re.search(pattern, text)]
        self.assertEqual(len(sites), 1, "pkg/zelk.cpp:%s reads %r" % (match.group(1), text))
        site, module_line = sites[0]
        self.assertEqual(line, module_line, site)
        return site

    def check_failure(self, failure):
        """Checks a failed import; returns the site names of its shown entries."""
        kind, message, entries = failure
        if entries:
            self.assertEqual(kind, "MemoryError", failure)
        else:
            self.assertIn([kind, message], [["MemoryError", ""], ["ImportError", "init zelk"]]
                          + IMPORT_SYSTEM_FAILURES)
        self.assertLessEqual(len(entries), 1, failure)
        return [self.check_entry(entry) for entry in entries]

    @fault_points_of_3_6
    def test_every_fault_point_of_a_first_import(self):
        # Failing every allocation from n on: find where the import no longer fails.
        from_n_on = []
        while not from_n_on or from_n_on[-1][0] is not None:
            self.assertLess(len(from_n_on), MAX_FAULT_POINTS)
            first = len(from_n_on)
            for result in run_children(IMPORT_CHILD, [(n, 0) for n in range(first, first + 16)]):
                from_n_on.append(result)
                if result[0] is None:
                    break
        fault_points = len(from_n_on) - 1
        single = run_children(IMPORT_CHILD, [(n, n + 1) for n in range(fault_points)])
        sys.stderr.write("\n%d fault points; %d single faults fail the import, %d with an entry\n"
                         % (fault_points, sum(1 for r in single if r[0]),
                            sum(1 for r in single if r[0] and r[0][2])))

        shown_early = set()
        hidden = 0
        for n, (failure, setting, works, after) in enumerate(from_n_on + single):
            with self.subTest(n=n):
                self.assertEqual(works, [2, 0])
                self.assertEqual(after, [["zelk.add", 12, 12]])
                if failure is None:
                    continue
                for site in self.check_failure(failure):
                    if site is None:
                        hidden += 1
                        self.assertEqual(setting, "False")
                    else:
                        # In a first exec only these show the line: the setting cannot be read yet,
                        # and stays uncreated.
                        self.assertIn(site, EARLY_SITES)
                        # (or made by an exec that failed late first)
                        self.assertIn(setting, ("no module", "'absent'") + ("False",) * STABLE_ABI)
                        shown_early.add(site)
        # Unless an exec that failed late came first, holding the setting but for a new failure
        # to get its module.
        if STABLE_ABI:
            self.assertLessEqual(shown_early, EARLY_SITES)
        else:
            self.assertEqual(shown_early, EARLY_SITES)
        self.assertGreater(hidden, 0)

    def test_each_exec_site_shows_its_own_line(self):
        sites = {}
        for attempts, after, same, works in run_children(
                MARCH_CHILD, [(1, "shown"), (2, "shown"), (3, "shown"), (3, "shown", "foreign")]):
            self.assertEqual(works, 2)
            for attempt in attempts:
                with self.subTest(attempt=attempt):
                    for site, entry in zip(self.check_failure(attempt[:3]), attempt[2]):
                        self.assertIsNotNone(site)
                        sites.setdefault(site, set()).add(entry[0])
                    # Exec entered the module under "zelk" itself; failing later, it takes the
                    # half-made module out again, and leaves another module that holds the name.
                    self.assertTrue(attempt[4])
        self.assertEqual(sorted(sites),
                         sorted(site for site, _, _ in EXEC_SITES if site != "registry"))
        names = [name for site_names in sites.values() for name in site_names]
        self.assertEqual(len(names), len(set(names)), sites)  # one line per site, each its own

    def test_function_failures_after_failed_exec_sites_on_the_same_line(self):
        # With the line hidden, exec's failures at the add and sub lines leave code objects
        # named "init zelk" under the keys that the functions' own failures use.
        attempts, after, same, works = run_child(MARCH_CHILD, 3, "hidden")
        self.assertEqual(works, 2)
        hidden_lines = set()
        for attempt in attempts:
            for entry, site in zip(attempt[2], self.check_failure(attempt[:3])):
                if site is None:
                    hidden_lines.add(entry[1])
                else:  # until exec holds the setting's module and name
                    self.assertIn(site, EARLY_SITES)
        self.assertEqual(hidden_lines, {1, 12, 20})
        self.assertEqual(after, [["zelk.add", 12], ["zelk.add", 12], ["zelk.add", 12],
                                 ["zelk.sub", 20], ["zelk.sub", 20]])
        self.assertEqual(same, [True, True, True])

    def test_exec_after_a_late_failure(self):
        late, attempts, works = run_child(RETRY_CHILD)
        self.assertEqual(works, 2)
        self.assertEqual(late[:2], ["LookupError", "clash"])
        self.assertEqual([self.check_entry(entry) for entry in late[2]], ["registry"])
        # The earlier attempt's runtime module is no help once this attempt failed to get one:
        # that failure shows its line.
        shown = set()
        for attempt in attempts:
            with self.subTest(attempt=attempt):
                shown.update(site for site in self.check_failure(attempt) if site)
        self.assertIn("runtime module", shown)
        self.assertLessEqual(shown, EARLY_SITES)


if __name__ == "__main__":
    unittest.main()
