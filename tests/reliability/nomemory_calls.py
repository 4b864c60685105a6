"""Every kind of zelk call under failing allocations.

For each case of zelk_cases (every success and failure kind, by position and keyword) and
each traceback setting (implementing line hidden and shown), the call is made with
_testcapi.set_nomemory(n, 0) -- every allocation from the n-th on fails -- and again with
set_nomemory(n, n + 1) -- only the n-th fails, so that the traceback entry of a failure can
still be made -- for n = 0, 1, 2, ... until the call gives its normal outcome (bounded).
Each outcome must be MemoryError or the case's own outcome (or its exception type without
the message, when the interpreter could not make the message); the case's own exception
always carries the right traceback entry (an entry that could not be made gives a
MemoryError instead), a MemoryError's entry, when present, is at one of the function's two
lines; after _testcapi.remove_mem_hooks() the module must work. The cases run in child
processes in batches, so that a crash shows as a signal. A second sweep runs each n in a
fresh process, so that the code-object cache and the cline_in_traceback setting are made
under failing allocations too.

    nomemory_calls.py [--max-points N] [--batch K]
"""
import argparse
import ctypes
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SETTLE = 3  # normal outcomes in a row that end a case's sweep
# From 3.11 the interpreter makes a frame object only when one is asked for. Its warnings code asks
# for the caller's, and when that allocation is refused it goes on with a file name it could not
# make either, and crashes inside the interpreter. There the calls that warn are not swept.
SWEEP_WARNINGS = sys.version_info < (3, 11)
# From 3.11 the interpreter can also lose the exception that a Python frame unwinds with when one
# allocation is refused (an __int__ written in Python that raises, called through int(), shows
# it without zelk), and then reports a SystemError of its own.
INTERPRETER_LOSES_EXCEPTIONS = sys.version_info >= (3, 11)


def sweep_one(zelk_cases, testcapi, name, thunk, expected, shown, max_points, single):
    """(fault points tried, problems) for one case."""
    import warnings
    inner = getattr(thunk, "inner", thunk)
    action = getattr(thunk, "action", None)
    problems = []
    settled = 0
    points = 0
    boxed_entries = [0]
    lost_messages = [0]
    # Under failing allocations the interpreter's warnings machinery may drop a warning that
    # the filters would raise (it falls back to its default filters), or report its own
    # failure as SystemError. Both are its doing: the warning call is zelk's last step there.
    converted = None
    if action and not SWEEP_WARNINGS:
        return 0, 0, 0, []
    if action:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            converted = zelk_cases.outcome(inner)
    for n in range(max_points):
        with warnings.catch_warnings():
            if action:
                warnings.simplefilter(action)
            testcapi.set_nomemory(n, n + 1 if single else 0)
            try:
                result = ("ok", inner())
            except BaseException as error:  # noqa: B902
                result = ("raise", error)
            testcapi.remove_mem_hooks()
        points += 1
        label = "%s n=%d%s shown=%s" % (name, n, " alone" if single else "", shown)
        normal = False
        if result[0] == "ok":
            if expected[0] == "ok" and result[1] == expected[1]:
                normal = True
            elif converted and converted[:2] == result:
                pass
            else:
                problems.append("%s: returned %r, expected %r" % (label, result[1], expected))
        else:
            error = result[1]
            if expected[0] == "raise" and type(error) is expected[1] \
                    and str(error) == expected[2]:
                problem = zelk_cases.check_entry(name, error, shown)
                if problem is None:
                    normal = True
                else:
                    problems.append("%s: %s" % (label, problem))
            elif expected[0] == "raise" and type(error) is expected[1] and str(error) == "":
                # The interpreter could not make the message: PyErr_SetString and
                # PyErr_Format then raise the type without a value.
                lost_messages[0] += 1
                problem = zelk_cases.check_entry(name, error, shown)
                if problem:
                    problems.append("%s: %s" % (label, problem))
            elif type(error) is ctypes.ArgumentError and "MemoryError" in str(error):
                pass  # the harness's own argument conversion, before zelk is called
            elif action and type(error) is SystemError and str(error) == (
                    "<class 'DeprecationWarning'> returned a result with an error set"):
                pass
            elif INTERPRETER_LOSES_EXCEPTIONS and type(error) is SystemError and (
                    str(error) == "error return without exception set"
                    or str(error).endswith("returned NULL without setting an exception")
                    and "built-in function" not in str(error)):
                pass  # lost by the interpreter, not by zelk (whose functions are built-ins)
            elif type(error) is not MemoryError:
                problems.append("%s: %s: %s, expected MemoryError or %r" % (
                    label, type(error).__name__, error, expected))
            else:
                # A MemoryError that zelk reported (binding, conversion or boxing the
                # result) carries an entry of the function, at one of its two lines.
                entry = zelk_cases.innermost_zelk_entry(error)
                fname = name.split(":")[0]
                if entry and entry[1] not in zelk_cases.FUNCTION_LINES[fname]:
                    problems.append("%s: MemoryError entry at line %d" % (label, entry[1]))
                elif entry and not entry[2].startswith(("zelk.%s" % fname, "init zelk")):
                    problems.append("%s: MemoryError entry named %r" % (label, entry[2]))
                elif entry and entry[1] != zelk_cases.DEF_LINE[fname]:
                    boxed_entries[0] += 1
            del error
        result = None
        # The module keeps working.
        works = zelk_cases.outcome(lambda: zelk_cases.zelk.add(2, b=3))
        if works[:2] != ("ok", 5):
            problems.append("%s: module broken afterwards: %r" % (label, works[:3]))
        failing = zelk_cases.outcome(lambda: zelk_cases.zelk.sub("x", 1))
        if failing[1] is not TypeError or zelk_cases.check_entry("sub:x", failing[3], shown):
            problems.append("%s: failure reporting broken afterwards: %r" % (label, failing[:3]))
        failing = None
        settled = settled + 1 if normal else 0
        if problems or (settled >= SETTLE and not single):
            break
    else:
        if not single:
            problems.append("%s: still failing after %d points" % (name, max_points))
    return points, boxed_entries[0], lost_messages[0], problems


def protocol_stream():
    """The child's report stream: its original stdout. C-level stdout (add's "Add") goes to
    /dev/null from here on."""
    sys.stdout.flush()
    stream = os.fdopen(os.dup(1), "w")
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    return stream


def child(first, last, max_points):
    out = protocol_stream()
    import _testcapi
    import zelk_cases
    cases = zelk_cases.build_cases()[first:last]
    runtime = zelk_cases.runtime_module()
    # The interpreter's warnings module makes two strings on its first warning and, when the
    # second cannot be made, keeps a dangling pointer to the first (a crash at the next
    # warning). Let the first warning happen with memory to spare.
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        zelk_cases.zelk.add(zelk_cases.IntTo(True), 1)
    for shown in (False, True):
        runtime.cline_in_traceback = shown
        for name, thunk, expected in cases:
            print("START %s" % name, file=out, flush=True)
            # Failing every allocation from the n-th on finds how many the call makes; then
            # each of those fails alone.
            limit = max_points
            for single in (False, True):
                points, boxed, lost, problems = sweep_one(zelk_cases, _testcapi, name, thunk,
                                                          expected, shown, limit, single)
                limit = points
                print("CASE %d %d %d %s" % (points, boxed, lost, name), file=out, flush=True)
                for problem in problems:
                    print("PROBLEM %s" % problem, file=out, flush=True)
    return 0


def cold_child(n, order):
    """Fresh process: the first failing calls meet an empty cache and no setting."""
    out = protocol_stream()
    import _testcapi
    import zelk_cases
    zelk = zelk_cases.zelk
    runtime = zelk_cases.runtime_module()
    calls = [("add:str", lambda: zelk.add("1", 2)), ("sub:count", lambda: zelk.sub(1))]
    if order:
        calls.reverse()
    settled = True
    for index, (name, thunk) in enumerate(calls):
        shown = index == 1  # the first call also creates the setting (as False)
        if shown:
            runtime.cline_in_traceback = True
        _testcapi.set_nomemory(n, 0)
        try:
            thunk()
            outcome = None
        except BaseException as error:  # noqa: B902
            outcome = error
        _testcapi.remove_mem_hooks()
        if type(outcome) not in (TypeError, MemoryError):
            print("PROBLEM cold n=%d %s: %r" % (n, name, outcome), file=out, flush=True)
        if type(outcome) is not TypeError:
            settled = False
        else:
            problem = zelk_cases.check_entry(name, outcome, shown)
            settled = settled and problem is None
            if problem:
                print("PROBLEM cold n=%d %s: %s" % (n, name, problem), file=out, flush=True)
        outcome = None
        again = zelk_cases.outcome(thunk)
        problem = zelk_cases.check_entry(name, again[3], shown) if again[0] == "raise" else "ok"
        if again[1] is not TypeError or problem:
            print("PROBLEM cold n=%d %s afterwards: %r %s" % (n, name, again[:3], problem),
                  file=out, flush=True)
        if not shown and getattr(runtime, "cline_in_traceback", None) is not False:
            # The setting is created by the next entry that can show a line, if not this one.
            zelk_cases.outcome(thunk)
            if getattr(runtime, "cline_in_traceback", None) is not False:
                print("PROBLEM cold n=%d: setting not created" % n, file=out, flush=True)
    print("DONE SETTLED" if settled else "DONE", file=out, flush=True)
    return 0


def run_child(arguments):
    process = subprocess.run([sys.executable, os.path.abspath(__file__)] + arguments,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, cwd=HERE)
    return process.returncode, process.stdout, process.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-points", type=int, default=400)
    parser.add_argument("--batch", type=int, default=40)
    parser.add_argument("--cold-points", type=int, default=300)
    parser.add_argument("--child", nargs=2, type=int)
    parser.add_argument("--cold", nargs=2, type=int)
    options = parser.parse_args()
    if options.child:
        return child(options.child[0], options.child[1], options.max_points)
    if options.cold:
        return cold_child(*options.cold)

    sys.path.insert(0, HERE)
    import zelk_cases
    total = len(zelk_cases.build_cases())
    failures = []
    points = 0
    boxed = 0
    lost = 0
    swept = 0
    for first in range(0, total, options.batch):
        last = min(first + options.batch, total)
        status, out, err = run_child(["--child", str(first), str(last),
                                      "--max-points", str(options.max_points)])
        lines = out.splitlines()
        for line in lines:
            if line.startswith("CASE "):
                points += int(line.split()[1])
                boxed += int(line.split()[2])
                lost += int(line.split()[3])
                swept += 1
            elif line.startswith("PROBLEM "):
                failures.append(line[8:])
        if status != 0:
            last_case = [line for line in lines if line.startswith("CASE ")][-1:]
            failures.append("child for cases %d-%d ended with status %d after %s\n%s" % (
                first, last, status, last_case or "no case", err[-3000:]))
    cold_points = 0
    settled = 0
    for n in range(options.cold_points):
        all_settled = True
        for order in (0, 1):
            status, out, err = run_child(["--cold", str(n), str(order)])
            cold_points += 1
            failures.extend(line[8:] for line in out.splitlines() if line.startswith("PROBLEM "))
            if status != 0 or "DONE" not in out:
                failures.append("cold child n=%d order=%d ended with status %d\n%s" % (
                    n, order, status, err[-3000:]))
            all_settled = all_settled and "DONE SETTLED" in out
        settled = settled + 1 if all_settled else 0
        if settled >= SETTLE:
            break
    else:
        failures.append("fresh-process calls still failing after %d points" % n)
    print("nomemory: %d case sweeps (%d cases x 2 settings x 2 modes), %d fault points "
          "tried; %d failures to box the result, reported at the core call's line; %d "
          "exceptions whose message the interpreter could not make; %d fresh-process points "
          "(n up to %d)" % (swept, total, points, boxed, lost, cold_points, n))
    if not SWEEP_WARNINGS:
        print("nomemory: calls that issue a warning not swept: from 3.11 the interpreter's "
              "warnings code crashes when the caller's frame object cannot be allocated")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
