#!/usr/bin/env python3
"""The two sides of pkg/ext_compat.h timed against the floor, interleaved in one process.

    benchmarks/sides.py --floor DIR --fast DIR --documented DIR [--rounds N]

Run by the interpreter to be measured. DIR holds a build: the floor peer (bench.py's peers/, or
peer_floor compiled alone), the module built the default way, and the module built with
ZELK_PUBLIC_API_ONLY. Both modules load into the one process, each as zelk in turn. Every case
is timed as bench.py times it (the callable a local of the timing loop, about 20 ms a
measurement, the cases shuffled in every round, the empty loop taken off, the floor's failing
case its function that raises) in a child with fd 1 on /dev/null and a buffered C stdout.
Prints nanoseconds best / median and each side's ratio to the floor; nothing is judged. Runs
under Python 3.6 and later.
"""
import argparse
import glob
import importlib.util
import os
import random
import statistics
import subprocess
import sys
import timeit

import bench


def load_zelk(directory):
    found = glob.glob(os.path.join(directory, "zelk.*.so"))
    if not found:
        raise SystemExit("sides.py: no zelk module in %s" % directory)
    sys.modules.pop("zelk", None)
    spec = importlib.util.spec_from_file_location("zelk", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def measure(options):
    sys.path.insert(0, os.path.abspath(options.floor))
    import peer_floor
    # As bench.py calls them: the floor fails in a function of its own, zelk by a bad argument.
    sides = [("floor", peer_floor, peer_floor.fail), ("fast", load_zelk(options.fast), None),
             ("documented", load_zelk(options.documented), None)]
    timers = {("loop", None): timeit.Timer("pass")}
    for side, module, fail in sides:
        if module.add(2, 3) != 5 or module.sub(a=2, b=3) != -1:
            raise SystemExit("sides.py: %s computes wrong results" % side)
        callables = {"add": module.add, "sub": module.sub, "fail": fail or module.add}
        for _, label, statement, which in bench.CASES:
            timers[(side, label)] = bench.make_timer(statement, callables[which], TypeError)
    numbers = {key: bench.calibrate(timer, 0.02, 1000) for key, timer in timers.items()}
    times = {key: [] for key in timers}
    order = list(timers)
    shuffle = random.Random(1).shuffle
    for _ in range(options.rounds):
        shuffle(order)
        for key in order:
            times[key].append(timers[key].timeit(numbers[key]) / numbers[key] * 1e9)
    loop = times.pop(("loop", None))
    best_loop, median_loop = min(loop), statistics.median(loop)
    report = sys.stderr
    report.write("%s, %d rounds; ns per call best / median, the empty loop (%.1f / %.1f) taken "
                 "off; ratio to the floor, best (median)\n"
                 % (sys.version.split()[0], options.rounds, best_loop, median_loop))
    for _, label, _, _ in bench.CASES:
        cells = []
        for side, _, _ in sides:
            best = min(times[(side, label)]) - best_loop
            median = statistics.median(times[(side, label)]) - median_loop
            cells.append("%s %.1f / %.1f" % (side, best, median))
            if side == "floor":
                floor = best, median
            else:
                cells[-1] += " %.3f (%.3f)" % (best / floor[0], median / floor[1])
        report.write("  %-20s %s\n" % (label, ",  ".join(cells)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--floor", required=True, help="directory of the floor peer")
    parser.add_argument("--fast", required=True, help="build tree of the default module")
    parser.add_argument("--documented", required=True,
                        help="build tree of the module built with ZELK_PUBLIC_API_ONLY")
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        measure(options)
        return 0
    # The core's printf("Add") must land in a buffered C stdout, as for an ordinary caller.
    env = dict(os.environ, PYTHONHASHSEED="0")
    env.pop("PYTHONUNBUFFERED", None)
    return subprocess.run([sys.executable] + sys.argv + ["--worker"], env=env,
                          stdout=subprocess.DEVNULL).returncode


if __name__ == "__main__":
    sys.exit(main())
