"""A long run of zelk calls mixing every success and failure kind, checked for leaks.

    soak.py [--calls N] [--skip-rss]

N (default 1,000,000, or $ZELK_SOAK_CALLS) calls cycle through every case of zelk_cases
plus calls over long-lived argument objects. Afterwards:
- every call gave its expected outcome;
- the reference counts of the long-lived arguments, argument tuple and keyword dictionary,
  and of an int that __int__ hands out, are what they were;
- every int-subclass object that an __int__ made was finalised;
- the number of objects the collector tracks grew by at most a small bound, and so did the
  resident memory (/proc/self/statm), measured after a warm-up tenth of the run
  (--skip-rss under sanitizers, whose quarantine holds freed memory on purpose).
"""
import argparse
import gc
import os
import sys

import zelk_cases
from zelk_cases import zelk

GC_OBJECTS_BOUND = 100
RSS_BOUND_KIB = 2048


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


class MakesCounted:
    made = 0

    def __int__(self):
        MakesCounted.made += 1
        return zelk_cases.FinalCounted(3)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int,
                        default=int(os.environ.get("ZELK_SOAK_CALLS", "1000000")))
    parser.add_argument("--skip-rss", action="store_true")
    options = parser.parse_args()

    # Long-lived arguments whose reference counts must not move.
    big = 2 ** 20 + 7
    huge = 2 ** 40
    handed_out = 2 ** 25 + 1
    gives = zelk_cases.IntTo(handed_out)
    gives_str = zelk_cases.IntTo("7")
    text = "not a number"
    makes = MakesCounted()
    pair = (big, 5)
    kwds = {"a": big, "b": gives}
    bad_kwds = {"a": big, "b": 1, "c": text}
    tracked = {"big": big, "huge": huge, "handed_out": handed_out, "gives": gives,
               "gives_str": gives_str, "text": text, "makes": makes, "pair": pair,
               "kwds": kwds, "bad_kwds": bad_kwds}
    add, sub = zelk.add, zelk.sub
    call_dict = zelk_cases.call_with_dict
    own = [
        (lambda: add(*pair), ("ok", big + 5)),
        (lambda: sub(**kwds), ("ok", big - handed_out)),
        (lambda: call_dict(add, (), kwds), ("ok", big + handed_out)),
        (lambda: add(gives, b=big), ("ok", handed_out + big)),
        (lambda: sub(huge, big), ("raise", OverflowError)),
        (lambda: add(big, gives_str), ("raise", TypeError)),
        (lambda: sub(text, big), ("raise", TypeError)),
        (lambda: add(**bad_kwds), ("raise", TypeError)),
        (lambda: call_dict(sub, (big,), bad_kwds), ("raise", TypeError)),
        (lambda: add(big, makes), ("ok", big + 3)),
    ]
    table = [(thunk, expected[:2]) for _, thunk, expected in zelk_cases.build_cases()]
    table += own

    sys.stdout.flush()
    saved_stdout = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # add's "Add" goes nowhere

    import warnings
    warnings.simplefilter("ignore", DeprecationWarning)
    before = {name: sys.getrefcount(value) for name, value in tracked.items()}
    wrong = []
    warmup = max(options.calls // 10, len(table))
    gc_start = rss_start = None
    size = len(table)
    runtime = zelk_cases.runtime_module()
    for i in range(options.calls):
        if i == warmup:
            gc.collect()
            gc_start = len(gc.get_objects())
            rss_start = resident_kib()
        if i % 1000 == 0:  # both cache keys of every site: line hidden and shown
            runtime.cline_in_traceback = (i // 1000) % 2 == 1
        thunk, expected = table[i % size]
        try:
            got = ("ok", thunk())
        except Exception as error:
            got = ("raise", type(error))
        if got != expected and len(wrong) < 10:
            wrong.append((i % size, got, expected))
    gc.collect()
    gc_end = len(gc.get_objects())
    rss_end = resident_kib()
    after = {name: sys.getrefcount(value) for name, value in tracked.items()}
    os.dup2(saved_stdout, 1)

    problems = ["call %d gave %r, expected %r" % item for item in wrong]
    for name in tracked:
        if after[name] != before[name]:
            problems.append("reference count of %s: %d -> %d" % (name, before[name], after[name]))
    made = MakesCounted.made + zelk_cases.IntMakesCounted.made
    finalised = zelk_cases.FinalCounted.finalised
    if finalised != made:
        problems.append("%d objects made by __int__, %d finalised" % (made, finalised))
    gc_growth = gc_end - (gc_start if gc_start is not None else gc_end)
    rss_growth = rss_end - (rss_start if rss_start is not None else rss_end)
    if gc_growth > GC_OBJECTS_BOUND:
        problems.append("tracked objects grew by %d" % gc_growth)
    if not options.skip_rss and rss_growth > RSS_BOUND_KIB:
        problems.append("resident memory grew by %d KiB" % rss_growth)
    print("soak: %d calls over %d kinds; %d int-subclass objects made by __int__, %d "
          "finalised; tracked objects %+d; resident memory %+d KiB%s" % (
              options.calls, size, made, finalised, gc_growth, rss_growth,
              " (not judged)" if options.skip_rss else ""))
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
