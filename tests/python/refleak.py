"""Runs test suites over and over in one debug interpreter and fails if a repetition leaves
references or memory blocks behind, as CPython's own leak hunting (regrtest -R) does.

    python3.Nd refleak.py [--warmups N] [--repetitions N] [--skip NAME]... SUITE...

The first runs fill whatever the suites and the module fill once (caches, interned names, the
module's code objects; 3.15 settles once more in its seventh run); after them
sys.gettotalrefcount() and sys.getallocatedblocks() must not grow in every repetition. Total
references that grow while blocks stay put are counts out of step rather than objects kept: an
incref counted by one side of the C API and its decref by the other, as when the module was
compiled without the debug build's Py_DEBUG.
"""
import argparse
import gc
import io
import linecache
import re
import sys
import unittest
import warnings

from zelk_testing import silence_c_stdout


def say(text):
    # fd 1 points at /dev/null, where zelk.add writes.
    sys.stderr.write("refleak: %s\n" % text)


def settle():
    """Drops what the interpreter caches on its own, then everything unreachable."""
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()
    re.purge()
    linecache.clearcache()
    for _ in range(3):
        gc.collect()


def tests_of(suite, skipped):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from tests_of(test, skipped)
        elif not any(name in test.id() for name in skipped):
            yield test


def run_once(suite_names, skipped):
    suite = unittest.TestSuite(tests_of(
        unittest.defaultTestLoader.loadTestsFromNames(suite_names), skipped))
    result = unittest.TextTestRunner(stream=io.StringIO(), verbosity=0).run(suite)
    return result.failures + result.errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--warmups", type=int, default=7)
    parser.add_argument("--repetitions", type=int, default=4)
    parser.add_argument("--skip", action="append", default=[], metavar="NAME",
                        help="leave out the tests whose id holds NAME")
    parser.add_argument("suites", nargs="+")
    options = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        say("%s is not a debug build (no sys.gettotalrefcount)" % sys.executable)
        return 2

    silence_c_stdout()
    filters = warnings.filters[:]
    # Made before the first reading and holding ints that live anyway, so that recording a
    # difference allocates nothing.
    pool = {value: value for value in range(-10000, 10000)}
    references = [0] * options.repetitions
    blocks = [0] * options.repetitions
    before_references = before_blocks = 0
    for run in range(options.warmups + options.repetitions):
        problems = run_once(options.suites, options.skip)
        warnings.filters[:] = filters
        if problems:
            for test, trace in problems:
                say("%s failed in run %d:\n%s" % (test, run + 1, trace))
            return 1
        del problems
        settle()
        now_references, now_blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        if run >= options.warmups:
            index = run - options.warmups
            grown = now_references - before_references
            references[index] = pool.get(grown, grown)
            grown = now_blocks - before_blocks
            blocks[index] = pool.get(grown, grown)
        before_references, before_blocks = now_references, now_blocks

    say("%s over %d repetitions: references %s, blocks %s"
        % (" ".join(options.suites), options.repetitions, references, blocks))
    # As regrtest judges: a leak grows in every repetition; a lone step is the interpreter
    # settling (a cache or free list filled late).
    leaked_references = all(delta > 0 for delta in references)
    leaked_blocks = all(delta > 0 for delta in blocks)
    if leaked_references and not leaked_blocks:
        say("references grow with no block kept: counts out of step, not objects leaked")
    return 1 if leaked_references or leaked_blocks else 0


if __name__ == "__main__":
    sys.exit(main())
