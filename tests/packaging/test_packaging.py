"""zelk as pip installs it: wheels and the source archive made by backend/zelk_build.py.

WheelForThisInterpreter runs with each interpreter of the matrix (CTest test `packaging`), and
TheModuleFile in every build tree (`packaging_module_file`).
OnTheSystemPython runs once, with the system's python3 and its mypy (`packaging_system_python`):
the source archive's round trip, what type checkers see, and builds that cannot succeed.
"""
import base64
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import textwrap
import time
import unittest
import zipfile

SOURCE_DIR = os.environ.get(
    "ZELK_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BACKEND = os.path.join(SOURCE_DIR, "backend", "zelk_build.py")
with open(os.path.join(SOURCE_DIR, "pyproject.toml")) as _pyproject:
    VERSION = re.search(r'^version = "(.*)"$', _pyproject.read(), re.M).group(1)
with open(os.path.join(SOURCE_DIR, "pkg", "zelk.pyi"), "rb") as _stub:
    STUB = _stub.read()
with open(os.path.join(SOURCE_DIR, "LICENSE"), "rb") as _license:
    LICENSE = _license.read()
# Core metadata fields that a package index judges, in METADATA and PKG-INFO alike; no License
# classifier may stand beside the expression.
METADATA_FIELDS = ("Metadata-Version: 2.4", "License-Expression: MIT", "License-File: LICENSE")
MODULE_NAME = "zelk" + sysconfig.get_config_var("EXT_SUFFIX")
PIP_QUIET = ["--disable-pip-version-check", "--no-cache-dir"]
PIP_OFFLINE = PIP_QUIET + ["--no-index"]  # a build that needed a download would fail here
# A zone nine hours east of UTC, where dates taken from local time would move.
EAST_OF_UTC = "JST-9"
# The newest glibc symbol version the module may need, by the machine readelf names: what the
# manylinux tag that a package index takes for that machine allows.
GLIBC_CEILINGS = {
    "Advanced Micro Devices X86-64": (2, 5),
    "Intel 80386": (2, 5),
    "AArch64": (2, 17),
    "IBM S/390": (2, 17),
    "PowerPC64": (2, 17),
    "ARM": (2, 17),
}


def expected_tag():
    """This interpreter's wheel tag, spelled out per implementation (CPython dropped the 'm' ABI
    flag in 3.8, a debug build adds 'd'; PyPy names its own release) rather than derived the way
    the backend derives it."""
    major, minor = sys.version_info[:2]
    if sys.implementation.name == "pypy":
        interpreter, abi = "pp%d%d" % (major, minor), "pypy%d%d_pp%d%d" % (
            (major, minor) + tuple(sys.pypy_version_info[:2]))
    else:
        interpreter, abi = "cp%d%d" % (major, minor), "cp%d%d%s%s" % (
            major, minor, "d" * hasattr(sys, "gettotalrefcount"), "m" * (minor < 8))
    return "%s-%s-linux_%s" % (interpreter, abi, os.uname().machine)


PROBE = textwrap.dedent("""
    import json, sys, sysconfig, zelk
    found = {"module": zelk.__file__, "platlib": sysconfig.get_path("platlib"),
             "results": [zelk.add(2, 3), zelk.sub(a=5, b=7), zelk.add(2147483647, 1)]}
    if sys.version_info >= (3, 8):
        import importlib.metadata
        found["version"] = importlib.metadata.version("zelk")
    with open(sys.argv[1], "w") as report:
        json.dump(found, report)
""")


def clean_environment(**changes):
    env = {key: value for key, value in os.environ.items()
           if key not in ("PYTHONPATH", "SOURCE_DATE_EPOCH") and not key.startswith("ZELK_")}
    env.update(changes)
    return env


def run(command, expect_status=0, **kwargs):
    kwargs.setdefault("env", clean_environment())
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300, **kwargs)
    if expect_status is not None and done.returncode != expect_status:
        raise AssertionError("%s exited %d:\n%s%s" % (command, done.returncode, done.stdout,
                                                      done.stderr))
    return done


def make_venv(directory, python=sys.executable, system_site_packages=False):
    run([python, "-m", "venv"] + (["--system-site-packages"] if system_site_packages else []) +
        [directory])
    return os.path.join(directory, "bin", "python")


def files_under(directory):
    return {os.path.relpath(os.path.join(parent, name), directory)
            for parent, subdirectories, files in os.walk(directory)
            for name in subdirectories + files}


def check_metadata(test, text):
    headers = text.partition("\n\n")[0].splitlines()
    test.assertEqual([field for field in METADATA_FIELDS if field not in headers], [])
    test.assertEqual([field for field in headers if field.startswith("Classifier: License")], [])


def wheel_entries(path):
    with zipfile.ZipFile(path) as archive:
        return [(info, archive.read(info)) for info in archive.infolist()]


class WheelForThisInterpreter(unittest.TestCase):
    def test_wheel_and_pip_install_and_uninstall(self):
        with tempfile.TemporaryDirectory() as scratch:
            venv = os.path.join(scratch, "venv")
            python = make_venv(venv)
            wheelhouse = os.path.join(scratch, "wheelhouse")
            # The earliest epoch, before any date a zip entry can hold: raised to 1980.
            env = clean_environment(SOURCE_DATE_EPOCH="0", TZ=EAST_OF_UTC)
            if sys.version_info < (3, 7):
                # pip 18.1 predates in-tree backends: the README's route through the backend.
                run([python, BACKEND, "wheel", wheelhouse], cwd=scratch, env=env)
            else:
                run([python, "-m", "pip", "wheel", "--no-deps", "-w", wheelhouse, SOURCE_DIR]
                    + PIP_OFFLINE, env=env)
            (wheel,) = os.listdir(wheelhouse)
            self.check_wheel(os.path.join(wheelhouse, wheel))

            before = files_under(venv)
            install_from = os.path.join(wheelhouse, wheel) if sys.version_info < (3, 7) else "."
            run([python, "-m", "pip", "install", install_from] + PIP_OFFLINE, cwd=SOURCE_DIR)
            self.check_installed(python, os.path.join(scratch, "report.json"))
            run([python, "-m", "pip", "uninstall", "-y", "zelk"] + PIP_QUIET)
            self.assertEqual(files_under(venv) - before, set())

    def check_wheel(self, path):
        tag = expected_tag()
        self.assertEqual(os.path.basename(path), "zelk-%s-%s.whl" % (VERSION, tag))

        entries = wheel_entries(path)
        dist_info = "zelk-%s.dist-info/" % VERSION
        self.assertEqual([info.filename for info, _ in entries],
                         ["zelk-stubs/__init__.pyi", MODULE_NAME, dist_info + "METADATA",
                          dist_info + "WHEEL", dist_info + "licenses/LICENSE",
                          dist_info + "RECORD"])
        self.assertEqual({info.date_time for info, _ in entries}, {(1980, 1, 1, 0, 0, 0)})
        content = {info.filename: data for info, data in entries}
        self.assertEqual(content["zelk-stubs/__init__.pyi"], STUB)
        self.assertEqual(content[dist_info + "licenses/LICENSE"], LICENSE)
        check_metadata(self, content[dist_info + "METADATA"].decode())
        tree_module, build_type = os.environ.get("ZELK_MODULE"), os.environ.get("ZELK_BUILD_TYPE")
        if tree_module and build_type == "Release":
            with open(tree_module, "rb") as module:  # the same CMake build, byte for byte
                self.assertEqual(hashlib.sha256(content[MODULE_NAME]).hexdigest(),
                                 hashlib.sha256(module.read()).hexdigest(), tree_module)
        self.assertIn("\nTag: %s\n" % tag, content[dist_info + "WHEEL"].decode())
        self.assertIn("\nRoot-Is-Purelib: false\n", content[dist_info + "WHEEL"].decode())

        record = [line.split(",") for line in content[dist_info + "RECORD"].decode().splitlines()]
        expected = [[name, "sha256=" + base64.urlsafe_b64encode(
            hashlib.sha256(data).digest()).rstrip(b"=").decode(), str(len(data))]
                    for name, data in content.items() if name != dist_info + "RECORD"]
        self.assertEqual(record, expected + [[dist_info + "RECORD", "", ""]])

    def check_installed(self, python, report):
        elsewhere = os.path.dirname(report)
        run([python, "-c", PROBE, report], cwd=elsewhere)
        with open(report) as answer:
            found = json.load(answer)
        self.assertEqual(found["results"], [5, -2, -2147483648])
        self.assertEqual(os.path.realpath(found["module"]),
                         os.path.realpath(os.path.join(found["platlib"], MODULE_NAME)))
        if sys.version_info >= (3, 8):
            self.assertEqual(found["version"], VERSION)

        shown = run([python, "-m", "pip", "show", "zelk"] + PIP_QUIET).stdout
        for field in ("Name: zelk", "Version: " + VERSION, "Location: " + found["platlib"]):
            self.assertIn(field + "\n", shown)
        # Only zelk is judged: PyPy 3.11's environments come with a cffi that lacks pycparser.
        checked = run([python, "-m", "pip", "check"] + PIP_QUIET, expect_status=None)
        self.assertNotIn("zelk", checked.stdout.lower() + checked.stderr.lower())
        if checked.returncode and sys.implementation.name != "pypy":
            self.fail("pip check: %s%s" % (checked.stdout, checked.stderr))


@unittest.skipUnless(os.environ.get("ZELK_MODULE"), "no build tree's module named")
class TheModuleFile(unittest.TestCase):
    """The module this tree built (ZELK_MODULE), judged as a wheel's binary is: in every tree,
    cross-built ones too, as the host's readelf reads any machine's files."""

    def test_it_needs_the_c_library_alone_at_versions_its_machines_tag_allows(self):
        shown = run(["readelf", "--wide", "--file-header", "--dynamic", "--version-info",
                     os.environ["ZELK_MODULE"]], env=clean_environment(LC_ALL="C")).stdout
        machine = re.search(r"^ *Machine: *(.*\S)", shown, re.M).group(1)
        self.assertIn(machine, GLIBC_CEILINGS)
        self.assertEqual(re.findall(r"\(NEEDED\).*\[(.*)\]", shown), ["libc.so.6"])
        needs = re.findall(r"Name: (\S+)", shown.partition("Version needs section")[2])
        self.assertTrue(needs, shown)  # printf's version at least
        too_new = [name for name in needs if not re.match(r"GLIBC_\d+(\.\d+)+$", name) or tuple(
            int(part) for part in name[len("GLIBC_"):].split(".")) > GLIBC_CEILINGS[machine]]
        self.assertEqual(too_new, [], machine)

    @unittest.skipUnless(os.environ.get("ZELK_STABLE_ABI_REFERENCE"),
                         "a stable-ABI module, with the oldest interpreter's library at hand")
    def test_a_stable_abi_module_needs_nothing_the_oldest_interpreter_lacks(self):
        def dynamic_symbols(path):
            shown = run(["readelf", "--wide", "--dyn-syms", path]).stdout
            return [(fields[6], fields[7]) for fields in (line.split() for line in
                                                         shown.splitlines()) if len(fields) >= 8]
        exported = {name.split("@")[0] for section, name in
                    dynamic_symbols(os.environ["ZELK_STABLE_ABI_REFERENCE"]) if section != "UND"}
        needed = {name for section, name in dynamic_symbols(os.environ["ZELK_MODULE"])
                  if section == "UND" and re.match(r"_?Py", name)}
        self.assertEqual(needed - exported, set())
        # No private name beyond what the limited API's own macros spell: its singletons.
        self.assertLessEqual({name for name in needed if name.startswith("_")},
                             {"_Py_NoneStruct", "_Py_TrueStruct", "_Py_FalseStruct"})


MISUSE = textwrap.dedent("""\
    import zelk
    total: int = zelk.add(2, 3)
    zelk.add("2", 3)
    text: str = zelk.sub(a=1, b=2)
    zelk.mul(2, 3)
    zelk.add(1)
    zelk.sub(1, 2, c=3)
""")
CORRECT_USE = textwrap.dedent("""\
    from typing import Dict
    import zelk
    class Seven:
        def __int__(self) -> int:
            return 7
    values = [zelk.add(2, 3), zelk.sub(b=5, a=7), zelk.add(Seven(), 1.5), zelk.sub(True, 2)]
    tests: Dict[str, str] = zelk.__test__
""")
# (file, line, error code) of every error mypy must report in the two scripts above.
EXPECTED_MYPY_ERRORS = [
    ("misuse.py", 3, "arg-type"),
    ("misuse.py", 4, "assignment"),
    ("misuse.py", 5, "attr-defined"),
    ("misuse.py", 6, "call-arg"),
    ("misuse.py", 7, "call-arg"),
]


class OnTheSystemPython(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch_dir = tempfile.TemporaryDirectory()
        cls.scratch = cls.scratch_dir.name
        cls.sdists = []
        for copy in ("sdist-a", "sdist-b"):
            made = run([sys.executable, BACKEND, "sdist", os.path.join(cls.scratch, copy)],
                       cwd=cls.scratch)
            cls.sdists.append(made.stdout.strip())
        cls.python = make_venv(os.path.join(cls.scratch, "venv"), system_site_packages=True)
        run([cls.python, "-m", "pip", "install", cls.sdists[0]] + PIP_OFFLINE)

    @classmethod
    def tearDownClass(cls):
        cls.scratch_dir.cleanup()

    def test_source_archive_is_reproducible_and_holds_what_a_build_needs(self):
        with open(self.sdists[0], "rb") as first, open(self.sdists[1], "rb") as second:
            self.assertEqual(first.read(), second.read())
        self.assertEqual(os.path.basename(self.sdists[0]), "zelk-%s.tar.gz" % VERSION)
        listed = run(["tar", "-tzf", self.sdists[0]]).stdout.split()
        with tarfile.open(self.sdists[0]) as archive:  # without SOURCE_DATE_EPOCH: 1980
            self.assertEqual({member.mtime for member in archive}, {315532800})
            check_metadata(self, archive.extractfile("zelk-%s/PKG-INFO" % VERSION).read().decode())
        needed = ["CMakeLists.txt", "LICENSE", "PKG-INFO", "README.md", "backend/zelk_build.py",
                  "pyproject.toml"] + ["pkg/" + name for name in os.listdir(
                      os.path.join(SOURCE_DIR, "pkg")) if name != "__pycache__"]
        self.assertEqual(listed, sorted("zelk-%s/%s" % (VERSION, name) for name in needed))

    def test_wheels_from_the_tree_and_from_the_source_archive_are_identical(self):
        epoch = 1700000000
        digests = []
        for source, zone in ((SOURCE_DIR, EAST_OF_UTC), (self.sdists[0], "UTC0")):
            wheelhouse = tempfile.mkdtemp(dir=self.scratch)
            run([self.python, "-m", "pip", "wheel", "--no-deps", "-w", wheelhouse, source] +
                PIP_OFFLINE, env=clean_environment(SOURCE_DATE_EPOCH=str(epoch), TZ=zone))
            (wheel,) = glob.glob(os.path.join(wheelhouse, "*.whl"))
            with open(wheel, "rb") as file:
                digests.append(hashlib.sha256(file.read()).hexdigest())
            self.assertEqual({info.date_time for info, _ in wheel_entries(wheel)},
                             {time.gmtime(epoch)[:6]})
        self.assertEqual(digests[0], digests[1])

    def test_mypy_reports_exactly_the_mistakes(self):
        for name, text in (("misuse.py", MISUSE), ("correct_use.py", CORRECT_USE)):
            with open(os.path.join(self.scratch, name), "w") as script:
                script.write(text)
        checked = run([sys.executable, "-m", "mypy", "--python-executable", self.python,
                       "--no-incremental", "--show-error-codes", "misuse.py", "correct_use.py"],
                      expect_status=1, cwd=self.scratch)
        errors = re.findall(r"^(\S+\.pyi?):(\d+): error: .*\[([a-z-]+)\]$", checked.stdout, re.M)
        self.assertEqual([(path, int(line), code) for path, line, code in errors],
                         EXPECTED_MYPY_ERRORS, checked.stdout)

    def test_stubtest_finds_the_stub_agreeing_with_the_module(self):
        checked = run([self.python, "-m", "mypy.stubtest", "zelk"], cwd=self.scratch)
        self.assertEqual(checked.stdout.strip(), "Success: no issues found in 1 module")

    def test_the_backend_passes_on_which_c_api_cmake_says_the_module_reads(self):
        done = run([sys.executable, BACKEND, "wheel", tempfile.mkdtemp(dir=self.scratch)],
                   env=clean_environment(CXXFLAGS="-DZELK_PUBLIC_API_ONLY=1"))
        self.assertIn("\nzelk uses the documented C API only, as ZELK_PUBLIC_API_ONLY asks\n",
                      "\n" + done.stderr)

    def test_a_build_that_cannot_succeed_says_why_in_one_line_and_leaves_nothing(self):
        tools = os.path.join(self.scratch, "tools")
        os.makedirs(os.path.join(tools, "cmake-only"))
        os.makedirs(os.path.join(tools, "cmake-and-make"))
        for directory, names in (("cmake-only", ["cmake"]), ("cmake-and-make", ["cmake", "make"])):
            for name in names:
                os.symlink(shutil.which(name), os.path.join(tools, directory, name))
        no_headers = ("import runpy, sys, sysconfig; real = sysconfig.get_path; "
                      "sysconfig.get_path = lambda name, *rest: '/nowhere' if name == 'include' "
                      "else real(name, *rest); sys.argv[:] = sys.argv[1:]; "
                      "runpy.run_path(sys.argv[0], run_name='__main__')")
        python2 = sorted(glob.glob(os.path.join(os.environ.get(
            "PYENV_ROOT", os.path.expanduser("~/.pyenv")), "versions", "2.*", "bin", "python2")))
        python2 = python2[-1] if python2 else None
        wheel = [BACKEND, "wheel", "out"]
        cases = [
            ("no cmake", [sys.executable] + wheel, {"PATH": tools},
             r"zelk: no cmake on PATH; "),
            ("no build tool", [sys.executable] + wheel, {"PATH": tools + "/cmake-only"},
             r"zelk: CMake found no build tool; "),
            ("no compiler", [sys.executable] + wheel, {"PATH": tools + "/cmake-and-make"},
             r"zelk: no C\+\+ compiler found; "),
            ("no headers", [sys.executable, "-c", no_headers] + wheel, {},
             r"zelk: \S+ has no development headers \(no Python.h in /nowhere\); "),
            ("Python 2", [python2] + wheel, {},
             r"zelk: needs Python 3\.6 or later; \S+ is Python 2\.7\.\d+$"),
            ("pip install . without cmake", [self.python, "-m", "pip", "install", SOURCE_DIR] +
             PIP_OFFLINE, {"PATH": tools}, r"zelk: no cmake on PATH; "),
        ]
        for name, command, changes, expected_line in cases:
            with self.subTest(name):
                if not command[0]:
                    self.skipTest("no Python 2 interpreter here")
                work = tempfile.mkdtemp(dir=self.scratch)
                os.mkdir(os.path.join(work, "tmp"))
                venv_before = files_under(os.path.dirname(os.path.dirname(self.python)))
                done = run(command, expect_status=1, cwd=work,
                           env=clean_environment(TMPDIR=os.path.join(work, "tmp"), **changes))
                said = [line.strip() for line in done.stderr.splitlines()
                        if line.strip().startswith("zelk:")]
                self.assertEqual(len(said), 1, done.stderr)
                self.assertRegex(said[0], expected_line)
                if command[0] != self.python:
                    self.assertEqual(done.stderr, said[0] + "\n")
                self.assertLessEqual(files_under(work), {"tmp", "out"})  # both left empty
                self.assertEqual(files_under(os.path.dirname(os.path.dirname(self.python))),
                                 venv_before)


if __name__ == "__main__":
    unittest.main()
