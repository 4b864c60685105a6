"""Installing the built module with its type stub into a fresh virtual environment of the
interpreter it was built for, and importing it from there."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

MODULE = os.environ["ZELK_MODULE"]
SOURCE_DIR = os.environ["ZELK_SOURCE_DIR"]
BUILD_DIR = os.path.dirname(os.path.abspath(MODULE))

PROBE = textwrap.dedent("""
    import json, os, sys, sysconfig, zelk
    here = os.path.dirname(zelk.__file__)
    with open(sys.argv[1], "w") as report:
        json.dump({
            "dir": here,
            "platlib": sysconfig.get_path("platlib"),
            "stub": open(os.path.join(here, "zelk.pyi")).read(),
            "results": [zelk.add(2, 3), zelk.sub(a=5, b=7), zelk.add(2147483647, 1)],
        }, report)
""")


def run(command, **kwargs):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=300, **kwargs)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (command, done.returncode, done.stdout))
    return done.stdout


@unittest.skipUnless(shutil.which("cmake"), "installing goes through cmake --install")
class InstallIntoVirtualEnvironment(unittest.TestCase):
    def test_installed_module_and_stub_import_from_outside_the_tree(self):
        with tempfile.TemporaryDirectory() as scratch:
            venv = os.path.join(scratch, "venv")
            run([sys.executable, "-m", "venv", "--without-pip", venv])
            python = os.path.join(venv, "bin", "python")
            run([os.path.join(SOURCE_DIR, "scripts", "install.sh"), "--python", python,
                 "--build-dir", BUILD_DIR])

            env = {k: v for k, v in os.environ.items()
                   if k != "PYTHONPATH" and not k.startswith("ZELK_")}
            work = os.path.join(scratch, "elsewhere")
            os.mkdir(work)
            report = os.path.join(scratch, "report.json")
            run([python, "-c", PROBE, report], cwd=work, env=env)
            with open(report) as answer:
                found = json.load(answer)

            self.assertEqual(os.path.realpath(found["dir"]), os.path.realpath(found["platlib"]))
            self.assertTrue(os.path.realpath(found["dir"]).startswith(os.path.realpath(venv)))
            with open(os.path.join(SOURCE_DIR, "pkg", "zelk.pyi")) as stub:
                self.assertEqual(found["stub"], stub.read())
            self.assertEqual(found["results"], [5, -2, -2147483648])

    def test_a_build_for_another_interpreter_is_refused(self):
        with tempfile.TemporaryDirectory() as scratch:
            fake_python = os.path.join(scratch, "python")
            with open(fake_python, "w") as script:
                # Answers like an interpreter whose modules end in another suffix: version,
                # suffix, site-packages, base interpreter and build-tree name, a line each.
                answers = ["3.99", ".cpython-399-other.so", os.path.join(scratch, "site"),
                           sys.executable, "3.99"]
                script.write("#!/bin/sh\nprintf '%%s\\n' %s\n"
                             % " ".join("'%s'" % answer for answer in answers))
            os.chmod(fake_python, 0o755)
            done = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "install.sh"), "--python",
                                   fake_python, "--build-dir", BUILD_DIR],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, timeout=60)
            self.assertEqual(done.returncode, 1)
            self.assertIn("built for another interpreter", done.stderr)
            self.assertFalse(os.path.exists(os.path.join(scratch, "site")))


if __name__ == "__main__":
    unittest.main()
