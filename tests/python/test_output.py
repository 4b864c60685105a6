"""What zelk.add writes: "Add" to the C library's stdout buffer, unflushed, on fd 1.

Each case runs in a fresh interpreter with PYTHONUNBUFFERED removed (with it, the interpreter
makes the C stdout unbuffered too) and fd 1 pointed at a file, so that the size of that file
tells what has reached fd 1 at each point.
"""

import tempfile
import unittest

from zelk_testing import SnippetTestCase, require_module

# Reports, at each checkpoint, the bytes on fd 1 so far; flush() empties the C stdout buffer.
PROBE = """
    import ctypes, io, os, sys, zelk
    _libc = ctypes.CDLL(None)
    def on_fd1():
        with open("/proc/self/fd/1", "rb") as written:
            return written.read().decode()
    def flush():
        _libc.fflush(None)
    def checkpoint(label):
        report([label, os.fstat(1).st_size, on_fd1()])
"""


class OutputTest(SnippetTestCase):
    @classmethod
    def setUpClass(cls):
        require_module(cls)

    def run_with_stdout_file(self, code):
        with tempfile.TemporaryFile() as stdout_file:
            reports = self.reports_of([PROBE, code],
                                      unbuffered=False, stdout=stdout_file)
        return {label: (size, text) for label, size, text in reports}

    def test_add_writes_unflushed(self):
        seen = self.run_with_stdout_file("""
            results = [zelk.add(2, i) for i in range(10)]
            checkpoint("after ten calls")
            flush()
            checkpoint("after flush")
            report(["results", results, ""])
        """)
        self.assertEqual(seen["after ten calls"], (0, ""))
        self.assertEqual(seen["after flush"], (30, "Add" * 10))
        self.assertEqual(seen["results"][0], list(range(2, 12)))

    def test_what_writes_nothing(self):
        # (label, calls): none of them may write anything.
        cases = [
            ("sub", "zelk.sub(5, 7); zelk.sub(b=1, a=2)"),
            ("add refused", "outcome(lambda: zelk.add(1))"),
            ("add with a bad keyword", "outcome(lambda: zelk.add(1, 2, c=3))"),
            ("add with an overflowing argument", "outcome(lambda: zelk.add(1, 2**31))"),
            ("add with a non-number", "outcome(lambda: zelk.add('1', 2))"),
        ]
        for label, calls in cases:
            with self.subTest(case=label):
                seen = self.run_with_stdout_file(calls + "\nflush()\ncheckpoint('after flush')")
                self.assertEqual(seen["after flush"], (0, ""))

    def test_python_stdout_does_not_capture(self):
        seen = self.run_with_stdout_file("""
            captured = io.StringIO()
            sys.stdout = captured
            zelk.add(1, 1)
            flush()
            sys.stdout = sys.__stdout__
            report(["captured", 0, captured.getvalue()])
            checkpoint("after flush")
        """)
        self.assertEqual(seen["captured"], (0, ""))
        self.assertEqual(seen["after flush"], (3, "Add"))

    def test_result_unaffected_by_failing_stdout(self):
        # Enough calls to fill the C buffer several times, so that writes are attempted and fail.
        for label, spoil in (("closed", "os.close(1)"),
                             ("full device", "os.dup2(os.open('/dev/full', os.O_WRONLY), 1)")):
            with self.subTest(stdout=label):
                seen = self.run_with_stdout_file(
                    spoil + "\nresults = {zelk.add(i, 1) - i for i in range(20000)}"
                    "\nflush()\nreport(['results', 0, repr(results)])")
                self.assertEqual(seen["results"], (0, "{1}"))

    def test_written_at_exit(self):
        # Nobody flushes: the C library does at a normal exit.
        run = self.run_ok("import zelk; zelk.add(1, 2); zelk.sub(1, 2); zelk.add(3, 4)",
                          unbuffered=False)
        self.assertEqual(run.stdout, b"AddAdd")


if __name__ == "__main__":
    unittest.main()
