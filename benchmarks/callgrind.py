#!/usr/bin/env python3
"""Instruction counts per call under callgrind, function by function.

Each case runs twice under `valgrind --tool=callgrind`, with N and 2N calls in a loop; the
difference between the two runs, divided by N, is the cost of one call with the interpreter's
start-up and shutdown cancelled out. The same difference is taken for every function's own
(exclusive) cost, which shows where a call's instructions go.

Uses the modules that bench.py built (BUILD_ROOT/pyX.Y/{peers,zelk}) and loads each peer as
bench.py does; run bench.py first. Cases are bench.py's, the failing call included. With
--stable-abi-build TREE the zelk.abi3.so built there is the peer abi3, whose counts are then
printed against what that build may cost.
    benchmarks/callgrind.py [--python P] [--calls N] [--case zelk/add_pos ... | --all]
"""

import argparse
import collections
import os
import re
import subprocess
import sys
import tempfile
import textwrap

import bench

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEFAULT_PYTHON = bench.DEFAULT_PYTHON

# case -> (statement, which callable): the statement sees the callable as `f` and the expected
# exception class as `E`, both locals of the loop.
CALLS = {key: (stmt, which) for key, _, stmt, which in bench.CASES}
DEFAULT_CASES = ["floor/add_pos", "zelk/add_pos", "floor/add_kw", "zelk/add_kw",
                 "capi/add_pos", "capi/add_kw"]

# The loop matches timeit's: the callable is a local and the iterator hands out None, so an
# iteration is the call plus FOR_ITER, with no loop counter to allocate.
PROGRAM = """\
import itertools, sys
sys.path.insert(0, {here!r})
import bench
p = bench.load_peers({cfg!r}, only={only!r})[{peer!r}]
def loop(f, E, n):
    for _ in itertools.repeat(None, n):
{call}
loop(p[{which!r}], p["exc"], {n})
"""

# Lines of callgrind_annotate: "  1,234 (12.3%)  file:function [object]" (percent optional).
LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([\d.]+%\)\s+)?(\S.*)$")


# What --simulate adds to each case: callgrind's model of the caches and branch predictors.
SIMULATED = [("I1mr", "I1 misses"), ("ILmr", "last-level instruction misses"),
             ("Bc", "conditional branches"), ("Bcm", "mispredicted"),
             ("Bi", "indirect branches"), ("Bim", "mispredicted")]


def run_callgrind(python, program, out_file, simulate=False):
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    env["PYTHONHASHSEED"] = "0"
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file]
    if simulate:
        cmd += ["--cache-sim=yes", "--branch-sim=yes"]
    cmd += [python, "-c", program]
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                   check=True)


def annotate(out_file):
    """Total Ir and {function: exclusive Ir} from one callgrind output file."""
    # Without the annotated source, whose lines (and, in later valgrinds, call counts) would read
    # as functions.
    text = subprocess.run(["callgrind_annotate", "--auto=no", "--inclusive=no", "--threshold=100",
                           "--show=Ir", out_file],
                          stdout=subprocess.PIPE, check=True).stdout.decode(errors="replace")
    total, per_function = None, collections.Counter()
    for line in text.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        count, name = int(m.group(1).replace(",", "")), m.group(2).strip()
        if "PROGRAM TOTALS" in name:
            total = count
        else:
            per_function[short_name(name)] += count
    return total, per_function


def event_totals(out_file):
    """{event: whole-run total} from the callgrind file's own header and totals lines."""
    events, totals = [], []
    with open(out_file) as lines:
        for line in lines:
            if line.startswith("events:"):
                events = line.split()[1:]
            elif line.startswith(("summary:", "totals:")):
                totals = [int(value) for value in line.split()[1:]]
    return dict(zip(events, totals))


def short_name(name):
    # "file:function [object]" -> "function [object basename]"
    obj = ""
    m = re.search(r"\[(.*)\]$", name)
    if m:
        obj = " [" + os.path.basename(m.group(1)) + "]"
        name = name[:m.start()].strip()
    func = name.split(":", 1)[1] if ":" in name else name
    return func + obj


def show(costs, top):
    for name, ir in sorted(costs.items(), key=lambda kv: -abs(kv[1]))[:top]:
        if abs(ir) >= 0.5:
            print("  {:+8.1f}  {}".format(ir, name))


def print_matrix(counts, facts, labels):
    """The counts as a Markdown table, a row per peer and a column per case."""
    peers = [key for key, _ in bench.PEERS if any(c.startswith(key + "/") for c in counts)]
    cases = [c for c in bench.CASES if any(k.endswith("/" + c[0]) for k in counts)]
    print("Instructions per call, {} {}:".format(
        "PyPy" if facts["tag"].startswith("pypy") else "CPython", facts["version"]))
    print()
    print("| | " + " | ".join("`{}`".format(c[1]) for c in cases) + " |")
    print("|---" * (len(cases) + 1) + "|")
    for peer in peers:
        cells = []
        for c in cases:
            count = counts.get("{}/{}".format(peer, c[0]))
            cells.append("" if count is None else "{:.0f}".format(count))
        print("| {} | {} |".format(bench.cell_text(labels[peer]), " | ".join(cells)))


# What the stable-ABI build may cost: (label, its case, instructions over the floor's same case or,
# for the failing call, a multiple of the per-version build's whole failing call).
STABLE_ABI_GOALS = [("by position, over the floor", "add_pos", "over", 60)] + [
    ("{}, over the floor".format(heading), key, "over", 150)
    for key, heading, _, _ in bench.CASES if key in ("add_kw", "add_kw_swapped", "add_mixed")
] + [("failing call, times zelk's", "add_err", "times", 1.5)]


def print_stable_abi_goals(counts):
    """The stable-ABI build's counts against its goals, for the cases counted; informational."""
    rows = []
    for label, key, kind, bound in STABLE_ABI_GOALS:
        mine = counts.get("abi3/" + key)
        base = counts.get(("floor/" if kind == "over" else "zelk/") + key)
        if mine is None or base is None:
            continue
        if kind == "over":
            value, text = mine - base, "{:+.0f} (goal <= +{})".format(mine - base, bound)
        else:
            value, text = mine / base, "{:.2f} (goal <= {})".format(mine / base, bound)
        rows.append("  {:<36} {}  {}".format(label, text, "met" if value <= bound else "MISSED"))
    if rows:
        print()
        print("Stable ABI, instructions per call:")
        print("\n".join(rows))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--python", default=DEFAULT_PYTHON)
    ap.add_argument("--build-root", default=os.path.join(REPO, "build-bench"))
    ap.add_argument("--zelk-build", help="use zelk from this build tree instead")
    ap.add_argument("--stable-abi-build",
                    help="add peer abi3: the zelk.abi3.so of this build tree (ZELK_STABLE_ABI)")
    ap.add_argument("--calls", type=int, default=100000, help="N: runs use N and 2N calls")
    ap.add_argument("--case", action="append", help="peer/case, e.g. zelk/add_kw (repeatable)")
    ap.add_argument("--all", action="store_true", help="every case of every peer built")
    ap.add_argument("--top", type=int, default=14, help="functions listed per case")
    ap.add_argument("--keep", help="keep the callgrind files in this directory")
    ap.add_argument("--simulate", action="store_true",
                    help="also model caches and branch prediction, and print their events")
    args = ap.parse_args()

    facts = bench.interpreter_facts(args.python)
    build = os.path.join(os.path.abspath(args.build_root), facts["tag"])
    zelk_dir = os.path.abspath(args.zelk_build or os.path.join(build, "zelk"))
    peers_dir = os.path.join(build, "peers")
    manifest = bench.read_manifest(peers_dir)
    built = [key for key, _ in bench.PEERS if manifest.get(key, {}).get("built")]
    abi3_dir = args.stable_abi_build and os.path.abspath(args.stable_abi_build)
    cfg = {"module_dirs": [zelk_dir, peers_dir], "zelk_dir": zelk_dir, "abi3_dir": abi3_dir,
           "built": built, "ctypes_library": os.path.join(zelk_dir, "zelk" + facts["ext_suffix"])}
    peers = [key for key, _ in bench.PEERS
             if key in built or (key not in bench.MODULE_PEERS and (key != "abi3" or abi3_dir))]
    if args.all:
        cases = ["{}/{}".format(peer, key) for peer in peers for key, _, _, _ in bench.CASES]
    else:
        cases = args.case or DEFAULT_CASES
    for case in cases:
        peer, what = case.partition("/")[::2]
        if peer not in peers or what not in CALLS:
            raise SystemExit("callgrind.py: no case {} (peers here: {}; cases: {})".format(
                case, " ".join(peers), " ".join(CALLS)))
    work = args.keep or tempfile.mkdtemp(prefix="callgrind-")
    os.makedirs(work, exist_ok=True)

    n = args.calls
    summary, per_function = [], {}
    for case in cases:
        peer, what = case.split("/")
        stmt, which = CALLS[what]
        counts, events = [], []
        for calls in (n, 2 * n):
            program = PROGRAM.format(here=HERE, cfg=cfg, only=[peer], peer=peer, which=which,
                                     call=textwrap.indent(stmt, " " * 8), n=calls)
            out_file = os.path.join(work, "{}.{}.{}.out".format(peer, what, calls))
            run_callgrind(args.python, program, out_file, args.simulate)
            counts.append(annotate(out_file))
            events.append(event_totals(out_file))
        (t1, f1), (t2, f2) = counts
        per_call = (t2 - t1) / n
        summary.append((case, per_call))
        per_function[case] = {k: (f2[k] - f1[k]) / n for k in set(f1) | set(f2)}
        print("{}: {:.1f} instructions per call".format(case, per_call))
        if args.simulate:
            print("  simulated, per call: " + ", ".join(
                "{} {:.2f}".format(label, (events[1].get(key, 0) - events[0].get(key, 0)) / n)
                for key, label in SIMULATED))
        show(per_function[case], args.top)
        print()
        sys.stdout.flush()

    # Where a wrapper's extra instructions go, next to the floor doing the same call.
    for case, per_call in summary:
        peer, what = case.split("/")
        base = "floor/" + what
        if peer == "floor" or base not in per_function:
            continue
        mine, floor = per_function[case], per_function[base]
        extra = {k: mine.get(k, 0) - floor.get(k, 0) for k in set(mine) | set(floor)}
        print("{} minus {}: {:+.1f} instructions per call".format(
            case, base, per_call - dict(summary)[base]))
        show(extra, args.top)
        print()

    print("Instructions per call:")
    for case, per_call in summary:
        print("  {:<24} {:8.1f}".format(case, per_call))
    print()
    print_matrix(dict(summary), facts, bench.peer_labels(manifest))
    print_stable_abi_goals(dict(summary))
    if not args.keep:
        print("(callgrind files in {})".format(work))
    return 0


if __name__ == "__main__":
    sys.exit(main())
