#!/usr/bin/env python3
"""Builds of zelk on pkg/ext_compat.h's sides timed against the floor, interleaved in one process.

    benchmarks/sides.py --floor DIR --fast DIR [--documented DIR] [--stable-abi DIR] [--rounds N]

Run by the interpreter to be measured. DIR holds a build: the floor peer (bench.py's peers/, or
peer_floor compiled alone), the module built the default way, the module built with
ZELK_PUBLIC_API_ONLY, and the one built with ZELK_STABLE_ABI (zelk.abi3.so, which may have been
built against another CPython). The modules load into the one process, each as zelk in turn.
Every case is timed as bench.py times it (the callable a local of the timing loop, about 20 ms a
measurement, the cases shuffled in every round, the empty loop taken off, the floor's failing
case its function that raises) in a child with fd 1 on /dev/null and a buffered C stdout.
Prints nanoseconds best / median and each side's ratio to the floor; nothing is judged. Runs
under Python 3.6 and later.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import time
import timeit

import bench


def load_zelk(directory, pattern="zelk.*.so"):
    try:
        return bench.load_zelk(directory, pattern)
    except bench.HarnessError as error:
        raise SystemExit("sides.py: %s" % error)


def measure(options):
    sys.path.insert(0, os.path.abspath(options.floor))
    import peer_floor
    # As bench.py calls them: the floor fails in a function of its own, zelk by a bad argument.
    sides = [("floor", peer_floor, peer_floor.fail), ("fast", load_zelk(options.fast), None)]
    if options.documented:
        sides.append(("documented", load_zelk(options.documented), None))
    if options.stable_abi:
        sides.append(("stable-abi", load_zelk(options.stable_abi, "zelk.abi3.so"), None))
    # The process's CPU time leaves out the time other processes had the CPU: on a machine
    # busy with other work it is the steadier clock, though their use of the caches still shows.
    clock = time.process_time if options.clock == "cpu" else timeit.default_timer
    timers = {("loop", None): timeit.Timer("pass", timer=clock)}
    for side, module, fail in sides:
        if module.add(2, 3) != 5 or module.sub(a=2, b=3) != -1:
            raise SystemExit("sides.py: %s computes wrong results" % side)
        callables = {"add": module.add, "sub": module.sub, "fail": fail or module.add}
        for _, label, statement, which in bench.CASES:
            timers[(side, label)] = bench.make_timer(statement, callables[which], TypeError, clock)
    numbers = {key: bench.calibrate(timer, options.target_ms / 1000.0, 1000)
               for key, timer in timers.items()}
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
    report.write("%s, %d rounds of %g ms, %s clock; ns per call best / median, the empty loop "
                 "(%.1f / %.1f) taken off; ratio to the floor, best (median)\n"
                 % (sys.version.split()[0], options.rounds, options.target_ms, options.clock,
                    best_loop, median_loop))
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
    parser.add_argument("--documented",
                        help="build tree of the module built with ZELK_PUBLIC_API_ONLY")
    parser.add_argument("--stable-abi",
                        help="build tree of the module built with ZELK_STABLE_ABI (zelk.abi3.so)")
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--target-ms", type=float, default=20.0,
                        help="length of one calibrated measurement")
    parser.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                        help="time measurements by the wall clock (as bench.py does) or by "
                             "the process's CPU time")
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
