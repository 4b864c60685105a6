#!/usr/bin/env python3
"""Call-overhead benchmark: zelk against peer wrappers of the same arithmetic core.

The driver builds the peer modules (benchmarks/CMakeLists.txt) and zelk (top-level CMake
project) for one interpreter, then starts a separate timing process under that interpreter.
Every case is timed in the same process, in interleaved rounds, so that noise from this shared
machine lands on every case alike; compare the cases only as ratios within one run.

The timing process runs with fd 1 on /dev/null and without PYTHONUNBUFFERED, so the core's
unflushed printf stays in a fully buffered C stdout, as it would for a normal caller. Results
come back through a JSON file; progress goes to stderr.

Nothing here judges a time: the targets are printed for information and the exit status only
reports whether the harness itself worked.

Runs under Python 3.6 and later (driver and timing process alike).
"""

import argparse
import datetime
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEFAULT_PYTHON = "/root/.pyenv/versions/3.6.15/bin/python3.6"

# (key, label) in table order; the floor comes first so every other row reads against it. A
# label with {} gets the version of the peer's library, as its build found it.
PEERS = [
    ("floor", "floor (no argument work)"),
    ("vectorcall", "vectorcall floor (METH_FASTCALL | METH_KEYWORDS)"),
    ("zelk", "zelk"),
    ("abi3", "zelk, stable ABI (abi3)"),
    ("capi", "PyArg_ParseTupleAndKeywords"),
    ("pybind11", "pybind11 {}"),
    ("nanobind", "nanobind {}"),
    ("swig", "SWIG {} -builtin"),
    ("ctypes", "ctypes"),
    ("python", "Python function"),
]

# Peers built by benchmarks/CMakeLists.txt, which lists them in peers.json: key -> (module, the
# function a failing call goes to). The floors fail in a function of their own.
MODULE_PEERS = {
    "floor": ("peer_floor", "fail"),
    "vectorcall": ("peer_vectorcall", "fail"),
    "capi": ("peer_capi", "add"),
    "pybind11": ("peer_pybind11", "add"),
    "nanobind": ("peer_nanobind", "add"),
    "swig": ("peer_swig", "add"),
}

# (key, heading, statement, which callable). The statement sees the callable as the local `f`
# and the expected exception class as `E`, so the loop pays no global or attribute lookup.
CASES = [
    ("add_pos", "add(2, 3)", "f(2, 3)", "add"),
    ("sub_pos", "sub(2, 3)", "f(2, 3)", "sub"),
    ("add_kw", "add(a=2, b=3)", "f(a=2, b=3)", "add"),
    ("add_kw_swapped", "add(b=3, a=2)", "f(b=3, a=2)", "add"),
    ("sub_kw", "sub(a=2, b=3)", "f(a=2, b=3)", "sub"),
    ("add_mixed", "add(2, b=3)", "f(2, b=3)", "add"),
    ("add_err", 'add("x", 3) raises', "try:\n    f('x', 3)\nexcept E:\n    pass", "fail"),
]

# The empty loop, measured alongside and subtracted from every case.
LOOP = "loop"

# (label, numerator (peer, case), denominator (peer, case), bound, kind)
TARGETS = [
    ("zelk {} vs floor".format(heading), ("zelk", key), ("floor", key), 1.05, "max")
    for key, heading, _, _ in CASES if key != "add_err"
] + [
    ("PyArg_ParseTupleAndKeywords vs zelk, positional", ("capi", "add_pos"), ("zelk", "add_pos"),
     1.5, "min"),
    ("PyArg_ParseTupleAndKeywords vs zelk, keywords", ("capi", "add_kw"), ("zelk", "add_kw"), 1.5,
     "min"),
    ("pybind11 vs zelk, positional", ("pybind11", "add_pos"), ("zelk", "add_pos"), 3.0, "min"),
    ("pybind11 vs zelk, keywords", ("pybind11", "add_kw"), ("zelk", "add_kw"), 3.0, "min"),
]


class HarnessError(Exception):
    pass


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Timing process
# ---------------------------------------------------------------------------------------------


def load_zelk(directory, pattern="zelk.*.so"):
    """The zelk module built in directory, loaded from its file whatever zelk is loaded already:
    two builds of it can be timed in one process."""
    import glob
    import importlib.util

    found = sorted(glob.glob(os.path.join(directory, pattern)))
    if not found:
        raise HarnessError("no zelk module ({}) in {}".format(pattern, directory))
    sys.modules.pop("zelk", None)
    spec = importlib.util.spec_from_file_location("zelk", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load_peers(cfg, only=None):
    """Returns {peer: {"add", "sub", "fail", "exc"}} for every peer built (or those in only)."""
    import ctypes
    import importlib

    for path in reversed(cfg["module_dirs"]):
        sys.path.insert(0, path)

    def wanted(key):
        return only is None or key in only

    peers = {}
    for key in cfg["built"]:
        if wanted(key):
            name, fail = MODULE_PEERS[key]
            mod = importlib.import_module(name)
            peers[key] = dict(add=mod.add, sub=mod.sub, fail=getattr(mod, fail), exc=TypeError)
    if cfg.get("zelk_dir") and wanted("zelk"):
        zelk = importlib.import_module("zelk")
        peers["zelk"] = dict(add=zelk.add, sub=zelk.sub, fail=zelk.add, exc=TypeError)
    if cfg.get("abi3_dir") and wanted("abi3"):
        # The one file every CPython from 3.6 on imports, beside the module built for this one.
        abi3 = load_zelk(cfg["abi3_dir"], "zelk.abi3.so")
        peers["abi3"] = dict(add=abi3.add, sub=abi3.sub, fail=abi3.add, exc=TypeError)
    if wanted("ctypes"):
        # paramflags give the foreign functions parameter names, so keyword calls bind as for
        # the other peers; ctypes reports a bad argument as its own ArgumentError (PyPy's as
        # TypeError).
        lib = ctypes.CDLL(cfg["ctypes_library"])
        proto = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_int)
        names = ((1, "a"), (1, "b"))
        c_add = proto(("add", lib), names)
        c_sub = proto(("sub", lib), names)
        pypy = platform.python_implementation() == "PyPy"
        bad_argument = TypeError if pypy else ctypes.ArgumentError
        peers["ctypes"] = dict(add=c_add, sub=c_sub, fail=c_add, exc=bad_argument)

    def py_add(a, b):
        return a + b

    def py_sub(a, b):
        return a - b

    if wanted("python"):
        peers["python"] = dict(add=py_add, sub=py_sub, fail=py_add, exc=TypeError)
    return peers


def check_peers(peers):
    """A peer that computes the wrong thing would make its timing meaningless."""
    problems = []
    for key, p in peers.items():
        calls = [
            ("add(2, 3)", lambda: p["add"](2, 3), 5),
            ("sub(2, 3)", lambda: p["sub"](2, 3), -1),
            ("add(a=2, b=3)", lambda: p["add"](a=2, b=3), 5),
            ("add(b=3, a=2)", lambda: p["add"](b=3, a=2), 5),
            ("sub(a=2, b=3)", lambda: p["sub"](a=2, b=3), -1),
            ("add(2, b=3)", lambda: p["add"](2, b=3), 5),
        ]
        for text, call, want in calls:
            try:
                got = call()
            except Exception as exc:  # noqa: BLE001 - reported, not swallowed
                got = exc
            if got != want:
                problems.append("{}: {} gave {!r}, expected {!r}".format(key, text, got, want))
        try:
            p["fail"]("x", 3)
            problems.append("{}: add('x', 3) did not raise".format(key))
        except p["exc"]:
            pass
        except Exception as exc:  # noqa: BLE001
            problems.append("{}: add('x', 3) raised {!r}".format(key, exc))
    if problems:
        raise HarnessError("peers misbehave:\n  " + "\n  ".join(problems))


def make_timer(stmt, fn, exc, clock=timeit.default_timer):
    return timeit.Timer(stmt, setup="f = _fn; E = _exc", timer=clock,
                        globals={"_fn": fn, "_exc": exc})


def calibrate(timer, target_s, floor_n):
    """Loop count that makes one measurement last about target_s."""
    n = 1000
    while True:
        t = timer.timeit(n)
        if t >= 0.005:
            break
        n *= 4
    return max(floor_n, int(n * target_s / t))


def run_worker(cfg_path):
    with open(cfg_path) as fh:
        cfg = json.load(fh)
    if cfg.get("cpu") is not None:
        os.sched_setaffinity(0, {cfg["cpu"]})

    peers = load_peers(cfg)
    check_peers(peers)

    timers = {LOOP: make_timer("pass", None, None)}
    for pkey, _ in PEERS:
        if pkey not in peers:
            continue
        p = peers[pkey]
        for ckey, _, stmt, which in CASES:
            timers[(pkey, ckey)] = make_timer(stmt, p[which], p["exc"])

    numbers = {}
    for key, timer in timers.items():
        if cfg["number"]:
            numbers[key] = cfg["number"]
        else:
            numbers[key] = calibrate(timer, cfg["target_ms"] / 1000.0, 1000)

    samples = {key: [] for key in timers}
    order = list(timers)
    rng = random.Random(cfg["seed"])
    for rnd in range(cfg["rounds"]):
        rng.shuffle(order)
        for key in order:
            n = numbers[key]
            samples[key].append(timers[key].timeit(n) / n * 1e9)
        log("  round {}/{}".format(rnd + 1, cfg["rounds"]))

    def name(key):
        return key if key == LOOP else "{}/{}".format(*key)

    result = {
        "meta": {
            "python": sys.version.split()[0],
            "implementation": platform.python_implementation(),
            "executable": sys.executable,
            "pythonunbuffered": os.environ.get("PYTHONUNBUFFERED"),
            "stdout_isatty": os.isatty(1),
            "hashseed": os.environ.get("PYTHONHASHSEED"),
            "rounds": cfg["rounds"],
        },
        "peers": [k for k, _ in PEERS if k in peers],
        "numbers": {name(k): v for k, v in numbers.items()},
        "samples": {name(k): v for k, v in samples.items()},
    }
    with open(cfg["out"], "w") as fh:
        json.dump(result, fh, indent=1)


# ---------------------------------------------------------------------------------------------
# Driver: builds, runs the timing process, reports
# ---------------------------------------------------------------------------------------------


def run(cmd, quiet=True, **kw):
    log("$ " + " ".join(cmd))
    if quiet:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)
        if proc.returncode != 0:
            sys.stderr.write(proc.stdout.decode(errors="replace"))
    else:
        proc = subprocess.run(cmd, **kw)
    if proc.returncode != 0:
        raise HarnessError("command failed ({}): {}".format(proc.returncode, " ".join(cmd)))


def interpreter_facts(python):
    # The tag names the build directory: PyPy's apart from CPython's of the same version.
    code = ("import sys, sysconfig, json; pypy = sys.implementation.name == 'pypy'; "
            "print(json.dumps({'version': sys.version.split()[0], "
            "'tag': ('pypy%d.%d' if pypy else 'py%d.%d') % sys.version_info[:2], "
            "'ext_suffix': sysconfig.get_config_var('EXT_SUFFIX')}))")
    out = subprocess.run([python, "-c", code], stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out.decode())


def cmake_build(source, build, python, build_type, jobs, target=None, cxx_flags="", options=()):
    run(["cmake", "-S", source, "-B", build, "-DPython3_EXECUTABLE=" + python,
         "-DCMAKE_BUILD_TYPE=" + build_type, "-DCMAKE_CXX_FLAGS=" + cxx_flags] + list(options))
    run(["cmake", "--build", build, "-j", str(jobs)] + (["--target", target] if target else []))


def read_manifest(peers_build):
    """peers.json from the peers' build: {peer: {"built", "version" or "why"}}."""
    path = os.path.join(peers_build, "peers.json")
    try:
        with open(path) as fh:
            return json.load(fh)
    except (OSError, ValueError) as exc:
        raise HarnessError("no list of built peers at {}: {}".format(path, exc))


def machine_facts():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "system": platform.platform()}


def summarise(result):
    """Per peer and case: best and median ns per call, with the empty loop taken off."""
    samples = result["samples"]
    loop = samples[LOOP]
    loop_best, loop_median = min(loop), statistics.median(loop)
    table = {}
    for pkey in result["peers"]:
        for ckey, _, _, _ in CASES:
            s = samples["{}/{}".format(pkey, ckey)]
            table[(pkey, ckey)] = (min(s) - loop_best, statistics.median(s) - loop_median)
    return table, (loop_best, loop_median)


def target_rows(table):
    rows = []
    for label, num, den, bound, kind in TARGETS:
        if num not in table or den not in table:
            rows.append((label, None, None, bound, kind, None))
            continue
        best = table[num][0] / table[den][0]
        median = table[num][1] / table[den][1]
        met = best <= bound if kind == "max" else best >= bound
        rows.append((label, best, median, bound, kind, met))
    return rows


def ceiling(table, num, den):
    """How far zelk could lead a peer at best: no wrapper beats the floor, so the peer against
    the floor on the same call bounds the ratio."""
    floor = ("floor", den[1])
    if den[0] != "zelk" or num not in table or floor not in table:
        return None
    return table[num][0] / table[floor][0]


def peer_labels(manifest):
    """Each peer's label, with its library's version where the build found one."""
    labels = {}
    for key, label in PEERS:
        version = manifest.get(key, {}).get("version")
        labels[key] = label.format(version) if version else label.replace(" {}", "")
    return labels


def cell_text(text):
    return text.replace("|", "\\|")


def relative_table(out, result, table, ref, heading):
    peers = result["peers"]
    out.append(heading)
    out.append("")
    out.append("| | " + " | ".join("`{}`".format(c[1]) for c in CASES) + " |")
    out.append("|---" * (len(CASES) + 1) + "|")
    for pkey in peers:
        cells = ["{:.2f}".format(table[(pkey, c[0])][0] / table[(ref, c[0])][0]) for c in CASES]
        out.append("| {} | {} |".format(cell_text(result["labels"][pkey]), " | ".join(cells)))
    out.append("")


def markdown(result, table, loop, facts, machine):
    meta = result["meta"]
    peers = result["peers"]
    out = []
    out.append("Interpreter: {} {} ({}); machine: {}, {} cores; {} rounds.".format(
        meta["implementation"], meta["python"], meta["executable"], machine["cpu"],
        machine["cores"], meta["rounds"]))
    out.append("")
    out.append("Nanoseconds per call, best / median over the rounds, with the empty timing loop "
               "({:.1f} / {:.1f} ns) taken off.".format(*loop))
    out.append("")
    out.append("| | " + " | ".join("`{}`".format(c[1]) for c in CASES) + " |")
    out.append("|---" * (len(CASES) + 1) + "|")
    for pkey in peers:
        cells = ["{:.1f} / {:.1f}".format(*table[(pkey, c[0])]) for c in CASES]
        out.append("| {} | {} |".format(cell_text(result["labels"][pkey]), " | ".join(cells)))
    out.append("")
    for pkey, why in sorted(result["absent"].items()):
        out.append("- Left out: {} ({}).".format(result["labels"][pkey], why))
    if result["absent"]:
        out.append("")
    ref = "zelk" if "zelk" in peers else "floor"
    relative_table(out, result, table, ref, "Relative to {} (best / best):".format(ref))
    if "vectorcall" in peers:
        relative_table(out, result, table, "vectorcall",
                       "Relative to the vectorcall floor, the least a wrapper of the "
                       "METH_FASTCALL | METH_KEYWORDS convention can cost (best / best):")
    out.append("Targets (ratio of best times; median ratio for comparison):")
    out.append("")
    out.append("| ratio | best | median | target | met | reachable at most |")
    out.append("|---|---|---|---|---|---|")
    for (label, best, median, bound, kind, met), (_, num, den, _, _) in zip(
            target_rows(table), TARGETS):
        bound_text = ("<= " if kind == "max" else ">= ") + "{:.2f}".format(bound)
        top = ceiling(table, num, den)
        top_text = "" if top is None else "{:.3f}".format(top)
        if best is None:
            out.append("| {} | n/a | n/a | {} | not measured | {} |".format(
                label, bound_text, top_text))
        else:
            out.append("| {} | {:.3f} | {:.3f} | {} | {} | {} |".format(
                label, best, median, bound_text, "yes" if met else "no", top_text))
    out.append("")
    out.append("\"Reachable at most\" is the peer against the floor on the same call: zelk cannot "
               "take less than the floor, so it cannot lead the peer by more.")
    out.append("")
    out.append("Floors under `add(\"x\", 3) raises`: a function that raises TypeError with a "
               "constant message. ctypes uses paramflags for named parameters and raises "
               "ctypes.ArgumentError (TypeError on PyPy); it calls `{}`.".format(
                   os.path.basename(facts["ctypes_library"])))
    return "\n".join(out) + "\n"


GNUPLOT = """\
set terminal {terminal} size 1100,600 {font}
set output '{output}'
set termoption noenhanced
set title 'Call overhead, {implementation} {version} (best of {rounds} rounds, loop time removed)'
set ylabel 'ns per call (log scale)'
set logscale y
set yrange [{ymin}:{ymax}]
set grid ytics mytics
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set xrange [-0.6:{xmax}]
set key outside below horizontal
set xtics nomirror
plot {plots}
"""


def chart(path, result, table, datafile):
    gnuplot = shutil.which("gnuplot")
    if not gnuplot:
        log("gnuplot not found; no chart drawn (install gnuplot-nox)")
        return False
    peers = result["peers"]
    with open(datafile, "w") as fh:
        fh.write("case " + " ".join('"{}"'.format(result["labels"][p]) for p in peers) + "\n")
        for ckey, heading, _, _ in CASES:
            values = ["{:.2f}".format(max(table[(p, ckey)][0], 0.1)) for p in peers]
            fh.write('"{}" {}\n'.format(heading.replace('"', "'"), " ".join(values)))
    plots = ", ".join(
        "'{}' using {}:xtic(1) title columnheader({})".format(datafile, i + 2, i + 2)
        for i in range(len(peers)))
    bests = [table[(p, c[0])][0] for p in peers for c in CASES]
    ymin, ymax = max(1, int(min(bests) / 2)), max(bests) * 1.6
    if path.endswith(".png"):
        terminal, font = "pngcairo", "font 'sans,10'"
    else:
        terminal, font = "svg", "dynamic font 'sans,11'"
    script = GNUPLOT.format(terminal=terminal, font=font, output=path,
                            implementation=result["meta"]["implementation"],
                            version=result["meta"]["python"], rounds=result["meta"]["rounds"],
                            ymin=ymin, ymax=ymax, xmax=len(CASES) - 0.4, plots=plots)
    run([gnuplot], input=script.encode())
    return True


def print_targets(table):
    print("Targets (ratio of best times, median in brackets; informational):")
    for (label, best, median, bound, kind, met), (_, num, den, _, _) in zip(
            target_rows(table), TARGETS):
        bound_text = ("<= " if kind == "max" else ">= ") + "{:.2f}".format(bound)
        top = ceiling(table, num, den)
        top_text = "" if top is None else "  (at most {:.3f} against this floor)".format(top)
        if best is None:
            print("  {:<50} not measured (target {})".format(label, bound_text))
        else:
            print("  {:<50} {:6.3f} ({:6.3f})  target {}  {}{}".format(
                label, best, median, bound_text, "met" if met else "MISSED", top_text))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--python", default=DEFAULT_PYTHON, help="interpreter to benchmark")
    ap.add_argument("--rounds", type=int, default=25, help="interleaved rounds")
    ap.add_argument("--number", type=int, default=0,
                    help="calls per measurement (default: calibrated per case)")
    ap.add_argument("--target-ms", type=float, default=20.0,
                    help="length of one calibrated measurement")
    ap.add_argument("--smoke", action="store_true",
                    help="a few calls per case: checks that everything builds and runs")
    ap.add_argument("--build-root", default=os.path.join(REPO, "build-bench"),
                    help="peers and zelk are built under BUILD_ROOT/pyX.Y/")
    ap.add_argument("--build-type", default="Release")
    ap.add_argument("--zelk-build", help="use zelk from this existing build tree")
    ap.add_argument("--zelk-cxx-flags", default="",
                    help="extra compiler flags for zelk (its own build tree), for example "
                         "-falign-functions=64 to see how much its code's placement moves a time")
    ap.add_argument("--no-zelk", action="store_true", help="leave zelk out")
    ap.add_argument("--stable-abi", action="store_true",
                    help="also time zelk built on the limited API (ZELK_STABLE_ABI), built for "
                         "this interpreter in BUILD_ROOT/pyX.Y/zelk-abi3")
    ap.add_argument("--stable-abi-build",
                    help="also time the zelk.abi3.so of this existing build tree (for example "
                         "one built against CPython 3.6, the file a release ships)")
    ap.add_argument("--out-dir", help="where results go (default: the build directory)")
    ap.add_argument("--chart", help="chart file, .svg or .png (default: OUT_DIR/benchmarks.svg)")
    ap.add_argument("--cpu", type=int, help="pin the timing process to this CPU")
    ap.add_argument("--seed", type=int, default=1, help="seed for the order within rounds")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:
        run_worker(args.worker)
        return 0
    if args.smoke:
        args.rounds, args.number = 2, 200

    python = os.path.abspath(args.python) if os.sep in args.python else shutil.which(args.python)
    if not python or not os.path.exists(python):
        raise HarnessError("no interpreter at {}".format(args.python))
    facts = interpreter_facts(python)
    build = os.path.join(os.path.abspath(args.build_root), facts["tag"])
    out_dir = os.path.abspath(args.out_dir or build)
    os.makedirs(out_dir, exist_ok=True)

    peers_build = os.path.join(build, "peers")
    cmake_build(HERE, peers_build, python, args.build_type, args.jobs)
    module_dirs = [peers_build]
    manifest = read_manifest(peers_build)
    built = [key for key, _ in PEERS if manifest.get(key, {}).get("built")]
    absent = {key: entry["why"] for key, entry in manifest.items() if not entry.get("built")}
    labels = peer_labels(manifest)
    for key in sorted(absent):
        log("left out: {} ({})".format(labels[key], absent[key]))

    zelk_dir = None
    if args.zelk_build:
        zelk_dir = os.path.abspath(args.zelk_build)
    elif not args.no_zelk:
        if os.path.exists(os.path.join(REPO, "CMakeLists.txt")):
            flags = args.zelk_cxx_flags.split()
            zelk_dir = os.path.join(build, "-".join(["zelk"] + [f.strip("-") for f in flags]))
            # Only the module: the project's tests are not ours to build.
            cmake_build(REPO, zelk_dir, python, args.build_type, args.jobs, target="zelk",
                        cxx_flags=" ".join(flags))
        else:
            log("no top-level CMakeLists.txt yet: zelk left out")
    if zelk_dir:
        zelk_so = os.path.join(zelk_dir, "zelk" + facts["ext_suffix"])
        if not os.path.exists(zelk_so):
            raise HarnessError("zelk was not built at " + zelk_so)
        module_dirs.insert(0, zelk_dir)
        ctypes_library = zelk_so
    else:
        ctypes_library = os.path.join(peers_build, "peer_floor" + facts["ext_suffix"])
    facts["ctypes_library"] = ctypes_library

    abi3_dir = None
    if args.stable_abi_build:
        abi3_dir = os.path.abspath(args.stable_abi_build)
    elif args.stable_abi:
        abi3_dir = os.path.join(build, "zelk-abi3")
        cmake_build(REPO, abi3_dir, python, args.build_type, args.jobs, target="zelk",
                    options=["-DZELK_STABLE_ABI=ON", "-DBUILD_TESTING=OFF"])
    if abi3_dir and not os.path.exists(os.path.join(abi3_dir, "zelk.abi3.so")):
        raise HarnessError("no zelk.abi3.so in " + abi3_dir)

    results_json = os.path.join(out_dir, "results.json")
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as fh:
        json.dump({"module_dirs": module_dirs, "zelk_dir": zelk_dir, "abi3_dir": abi3_dir,
                   "built": built, "ctypes_library": ctypes_library, "rounds": args.rounds,
                   "number": args.number, "target_ms": args.target_ms, "seed": args.seed,
                   "cpu": args.cpu, "out": results_json}, fh)
        cfg_path = fh.name

    # A buffered C stdout needs PYTHONUNBUFFERED gone and fd 1 off the terminal; a fixed hash
    # seed keeps the keyword dictionaries laid out alike from run to run.
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    env["PYTHONHASHSEED"] = "0"
    log("timing {} rounds under {} ...".format(args.rounds, python))
    try:
        run([python, os.path.abspath(__file__), "--worker", cfg_path], quiet=False, env=env,
            stdout=subprocess.DEVNULL)
    finally:
        os.unlink(cfg_path)

    with open(results_json) as fh:
        result = json.load(fh)
    machine = machine_facts()
    result.update(labels=labels, absent=absent)
    result["meta"].update(machine=machine, ctypes_library=ctypes_library,
                          build_type=args.build_type,
                          date=datetime.datetime.now().isoformat(timespec="seconds"),
                          smoke=args.smoke)
    with open(results_json, "w") as fh:
        json.dump(result, fh, indent=1)

    table, loop = summarise(result)
    md = markdown(result, table, loop, facts, machine)
    md_path = os.path.join(out_dir, "results.md")
    with open(md_path, "w") as fh:
        fh.write(md)
    chart_path = os.path.abspath(args.chart or os.path.join(out_dir, "benchmarks.svg"))
    drew = chart(chart_path, result, table, os.path.join(out_dir, "chart.dat"))

    print(md.split("\nTargets (")[0])
    print_targets(table)
    print()
    print("results: {}\ntable:   {}".format(results_json, md_path))
    if drew:
        print("chart:   {}".format(chart_path))
    if args.smoke:
        print("smoke run: {} rounds of {} calls; the figures mean nothing".format(
            args.rounds, args.number))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except HarnessError as exc:
        log("bench.py: " + str(exc))
        sys.exit(2)
