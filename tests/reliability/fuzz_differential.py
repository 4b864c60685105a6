"""Differential fuzzer: zelk.add and zelk.sub against a model of their documented behaviour.

    fuzz_differential.py [--calls N] [--seed S] [--against MODULE_DIR]

Each call is drawn by a seeded random.Random from a pool of argument shapes: ints at every
edge of the two-digit fast path and of 32 and 64 bits, bools, floats, int subclasses, objects
whose __int__ gives odd types (str, bool, int subclass, huge int), raises, or empties the
keyword dictionary; keyword dictionaries with str-subclass keys, keys that spell a parameter
under another hash, non-str keys, unknown and missing keywords, extra positionals; calls made
through the call syntax or with the very dictionary given. The model, written from the
documented behaviour alone, predicts the result or the exception type and exact message,
the DeprecationWarnings issued (warnings are turned into errors, ignored or recorded, batch
by batch), whether "Add" reaches the C stdout, and the traceback entry of a failure (line
hidden or shown, batch by batch). Every call's outcome is compared exactly; the seed is
printed so that a mismatch reproduces.

With --against, the same calls are also made, in a process of their own, on the module built
into MODULE_DIR (another side of the same sources), and every call's outcome there, its whole
traceback included, must be the same as here.
"""
import argparse
import ctypes
import os
import random
import subprocess
import sys
import tempfile
import time
import traceback
import warnings

import zelk_cases
from zelk_cases import (ClearsDict, IntRaises, IntTo, Key, MyInt, OddHashKey, call_with_dict,
                        zelk)

INT_MIN, INT_MAX = -2 ** 31, 2 ** 31 - 1
LONG_MIN, LONG_MAX = -2 ** 63, 2 ** 63 - 1
TOO_LARGE = (OverflowError, "value too large to convert to int")
C_LONG = (OverflowError, "Python int too large to convert to C long")
NEED_INT = (TypeError, "an integer is required")
DEPRECATED = ("__int__ returned non-int (type %s).  The ability to return an instance of a "
              "strict subclass of int is deprecated, and may be removed in a future version "
              "of Python.")

EDGES = [0, 1, 2, 2 ** 30 - 1, 2 ** 30, 2 ** 30 + 1, INT_MAX - 1, INT_MAX, INT_MAX + 1,
         2 ** 32 - 1, 2 ** 32, 2 ** 60 - 1, 2 ** 60, 2 ** 62, LONG_MAX, LONG_MAX + 1,
         2 ** 64 - 1, 2 ** 64, 2 ** 100]
EDGES = EDGES + [-v for v in EDGES[1:]] + [INT_MIN - 1, LONG_MIN - 1]


class IndexOnly:
    """__index__ without __int__: not accepted."""

    def __index__(self):
        return 1


# ---- the model ----------------------------------------------------------------------------

class Failure(Exception):
    """A predicted exception: (type, message)."""


def model_int(v):
    if INT_MIN <= v <= INT_MAX:
        return v
    if LONG_MIN <= v <= LONG_MAX:
        raise Failure(*TOO_LARGE)
    raise Failure(*C_LONG)


def model_convert(shape, action, warned):
    kind = shape[0]
    if kind == "int":
        return model_int(shape[1])
    if kind == "float":
        f = shape[1]
        if f != f:
            raise Failure(ValueError, "cannot convert float NaN to integer")
        if f in (float("inf"), float("-inf")):
            raise Failure(OverflowError, "cannot convert float infinity to integer")
        return model_int(int(f))
    if kind in ("ret", "clears"):
        r = shape[1]
        if type(r) is int:
            return model_int(r)
        if isinstance(r, int):
            message = DEPRECATED % type(r).__name__
            if action == "error":
                raise Failure(DeprecationWarning, message)
            if action == "always":
                warned.append(message)
            return model_int(int(r))
        raise Failure(TypeError, "__int__ returned non-int (type %s)" % type(r).__name__)
    if kind == "raises":
        raise Failure(ValueError, "no int here")
    if kind == "complex" and hasattr(complex, "__int__"):  # 3.10 took complex's __int__ away
        raise Failure(TypeError, "can't convert complex to int")
    raise Failure(*NEED_INT)


def same_text(name, key):
    return str.__eq__(name, key) is True


def model_call(fname, args, items, has_dict, action):
    """(outcome, warnings, writes Add, failure site) of a call."""
    names = ["a", "b"]
    count = "%s() takes exactly 2 positional arguments (%%d given)" % fname
    pos = len(args)
    values = list(args[:2]) + [None] * (2 - min(pos, 2))
    try:
        if not has_dict:
            if pos != 2:
                raise Failure(TypeError, count % pos)
        else:
            if pos > 2:
                raise Failure(TypeError, count % pos)
            d = dict(items)
            kw_args = len(d)
            if pos == 0:
                if "a" not in d:
                    raise Failure(TypeError, count % 0)
                values[0] = d["a"]
                kw_args -= 1
            if pos < 2:
                if "b" not in d:
                    raise Failure(TypeError, count % 1)
                values[1] = d["b"]
                kw_args -= 1
            if kw_args > 0:
                for key, value in d.items():
                    open_names = names[pos:]
                    if not isinstance(key, str):
                        raise Failure(TypeError, "%s() keywords must be strings" % fname)
                    match = [i for i, name in enumerate(names) if same_text(name, key)]
                    if match and match[0] >= pos:
                        values[match[0]] = value
                        continue
                    if match:
                        raise Failure(TypeError, "%s() got multiple values for keyword "
                                                 "argument '%s'" % (fname, str.__str__(key)))
                    del open_names
                    raise Failure(TypeError, "%s() got an unexpected keyword argument '%s'"
                                  % (fname, str.__str__(key)))
    except Failure as failure:
        return ("raise",) + failure.args, [], False, "bind"
    warned = []
    converted = []
    for index, value in enumerate(values):
        try:
            converted.append(model_convert(SHAPES[id(value)], action, warned))
        except Failure as failure:
            return ("raise",) + failure.args, warned, False, "convert_%d" % index
    a, b = converted
    result = a + b if fname == "add" else a - b
    result = (result - INT_MIN) % 2 ** 32 + INT_MIN
    return ("ok", result), warned, fname == "add", None


# ---- drawing calls ------------------------------------------------------------------------

SHAPES = {}  # id(argument object) -> shape, for the objects of the call being made


def draw_int(rng):
    roll = rng.random()
    if roll < 0.5:
        return rng.choice(EDGES) + rng.choice((0, 0, 0, -1, 1))
    bits = rng.randrange(0, 70)
    return rng.choice((1, -1)) * rng.getrandbits(bits) if bits else 0


def draw_value(rng, kwds):
    roll = rng.randrange(100)
    if roll < 30:
        v = rng.randint(INT_MIN, INT_MAX)
        return v, ("int", v)
    roll = rng.randrange(100)
    if roll < 40:
        v = draw_int(rng)
        return v, ("int", v)
    if roll < 45:
        v = rng.choice((True, False))
        return v, ("int", int(v))
    if roll < 52:
        v = MyInt(draw_int(rng))
        return v, ("int", int(v))
    if roll < 60:
        f = rng.choice((rng.uniform(-3e9, 3e9), rng.uniform(-10, 10), float("inf"),
                        float("-inf"), float("nan"), -0.0, 1e19, 1e300, 2.9, -2.9))
        return f, ("float", f)
    if roll < 78:
        r = rng.choice((draw_int(rng), draw_int(rng), True, False, MyInt(draw_int(rng)),
                        "7", 1.5, None, 2 ** 40))
        return IntTo(r), ("ret", r)
    if roll < 82:
        return IntRaises(), ("raises",)
    if roll < 85:
        return complex(1, 2), ("complex",)
    if roll < 88:
        v = draw_int(rng)
        return ClearsDict(kwds, v), ("clears", v)
    return rng.choice(("x", None, [], b"1", object(), IndexOnly())), ("noint",)


KEY_MAKERS = [
    lambda: "a", lambda: "b", lambda: "a", lambda: "b", lambda: "c", lambda: "bb",
    lambda: "".join(["a"]), lambda: Key("a"), lambda: Key("b"), lambda: Key("zz"),
    lambda: OddHashKey("a"), lambda: OddHashKey("b"), lambda: 1,
]


def draw_call(rng):
    """(function name, positional args, keyword items, through the dict, has a dict)."""
    fname = rng.choice(("add", "sub"))
    kwds = {}
    args = []
    if rng.random() < 0.6:
        # A well-formed binding, now and then with one more keyword.
        npos = rng.choice((0, 1, 2, 2))
        keys = [k for k in ("a", "b")[npos:]]
        rng.shuffle(keys)
        if rng.random() < 0.1:
            keys.append(rng.choice(KEY_MAKERS)())
    else:
        npos = rng.choice((0, 0, 1, 1, 2, 2, 2, 3, 4))
        keys = [rng.choice(KEY_MAKERS)() for _ in range(rng.choice((0, 0, 1, 2, 2, 3)))]
    for _ in range(npos):
        value, shape = draw_value(rng, kwds)
        SHAPES[id(value)] = shape
        args.append(value)
    for key in keys:
        value, shape = draw_value(rng, kwds)
        SHAPES[id(value)] = shape
        kwds[key] = value
    through_dict = rng.random() < 0.5 or any(type(k) is int for k in kwds)
    has_dict = through_dict or bool(kwds)
    return fname, args, kwds, through_dict, has_dict


# ---- running ------------------------------------------------------------------------------

def describe(fname, args, kwds, through_dict):
    shapes = [SHAPES.get(id(a), a) for a in args]
    items = [(type(k).__name__, str(k), SHAPES.get(id(v), v)) for k, v in kwds.items()]
    return "%s%s args=%r kwds=%r" % (fname, " via dict" if through_dict else "", shapes, items)


def differences_from_other_build(options, seed, record):
    """Makes the same calls on the module in options.against, in a process of its own, and
    describes every call whose outcome there differs from its outcome here."""
    fd, path = tempfile.mkstemp(prefix="zelk-fuzz-", suffix=".txt")
    os.close(fd)
    try:
        python_path = [os.path.abspath(options.against), os.environ.get("PYTHONPATH", "")]
        done = subprocess.run(
            [sys.executable, sys.argv[0], "--calls", str(options.calls), "--seed",
             str(seed), "--batch", str(options.batch), "--record", path],
            env=dict(os.environ, PYTHONPATH=os.pathsep.join(python_path)),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        with open(path) as file:
            theirs = file.read().splitlines()
    finally:
        os.unlink(path)
    for line in done.stdout.splitlines():
        print("  %s: %s" % (options.against, line))
    problems = [] if done.returncode == 0 else ["the build in %s failed" % options.against]
    for index, (mine, other) in enumerate(zip(record, theirs)):
        if mine != other and len(problems) < 20:
            problems.append("call %d differs from the build in %s\n    here  %s\n    there %s"
                            % (index, options.against, mine, other))
    if len(record) != len(theirs):
        problems.append("%d calls here, %d in %s" % (len(record), len(theirs), options.against))
    if not problems:
        print("fuzz_differential: the same %d outcomes from the build in %s" % (
            len(record), options.against))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=300000)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--batch", type=int, default=500)
    parser.add_argument("--against", help="a directory holding another build of the module")
    parser.add_argument("--record", help="where to write each call's outcome, one a line")
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else int(time.time() * 1000) % 2 ** 32
    print("fuzz_differential: seed %d, %d calls (reproduce with --calls %d --seed %d)" % (
        seed, options.calls, options.calls, seed), flush=True)
    rng = random.Random(seed)

    libc = ctypes.CDLL(None)
    sys.stdout.flush()
    capture = tempfile.TemporaryFile()
    saved_stdout = os.dup(1)
    os.dup2(capture.fileno(), 1)
    report = os.fdopen(saved_stdout, "w")

    runtime = zelk_cases.runtime_module()
    mismatches = []
    record = []
    kinds = {}
    adds = 0
    position = 0
    call_index = 0
    while call_index < options.calls and len(mismatches) < 20:
        action = rng.choice(("error", "ignore", "always"))
        shown = rng.random() < 0.5
        runtime.cline_in_traceback = shown
        with warnings.catch_warnings(record=True) as log:
            warnings.simplefilter(action)
            for _ in range(min(options.batch, options.calls - call_index)):
                fname, args, kwds, through_dict, has_dict = draw_call(rng)
                function = getattr(zelk, fname)
                expected, expected_warned, writes, site = model_call(
                    fname, args, list(kwds.items()), has_dict, action)
                del log[:]
                entries = []
                try:
                    if through_dict:
                        got = ("ok", call_with_dict(function, args, kwds))
                    else:
                        got = ("ok", function(*args, **kwds))
                except Exception as error:
                    got = ("raise", type(error), str(error))
                    problem = zelk_cases.check_entry(fname + ":", error, shown)
                    if problem:
                        got = got + (problem,)
                    entries = traceback.format_tb(error.__traceback__)
                    error = None
                libc.fflush(None)
                now = os.lseek(1, 0, os.SEEK_CUR)
                wrote = now - position
                position = now
                warned = [str(w.message) for w in log]
                record.append(repr((got, entries, warned, wrote,
                                    [(w.category, w.filename, w.lineno) for w in log])))
                kind = expected[0] if expected[0] == "ok" else expected[1].__name__
                kinds[kind] = kinds.get(kind, 0) + 1
                if got != expected or warned != expected_warned or wrote != 3 * writes:
                    mismatches.append("call %d: %s\n    got %r, warnings %r, wrote %d\n"
                                      "    expected %r, warnings %r, wrote %d" % (
                                          call_index, describe(fname, args, kwds, through_dict),
                                          got, warned, wrote, expected, expected_warned,
                                          3 * writes))
                adds += writes
                SHAPES.clear()
                call_index += 1
    os.dup2(report.fileno(), 1)
    capture.seek(0)
    written = capture.read()
    if written != b"Add" * adds:
        mismatches.append("C stdout holds %d bytes, expected 'Add' x %d" % (len(written), adds))

    print("fuzz_differential: %d calls compared, outcomes %s" % (
        call_index, ", ".join("%s %d" % item for item in sorted(kinds.items()))))
    if options.record:
        with open(options.record, "w") as file:
            file.write("".join(line + "\n" for line in record))
    if options.against:
        mismatches.extend(differences_from_other_build(options, seed, record))
    for mismatch in mismatches:
        print("MISMATCH (seed %d)" % seed, mismatch)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
