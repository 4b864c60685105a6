"""Runs a command against the sanitized copy of the module and judges the sanitizer reports.

    sanitized_run.py --runtime LIBS --module-dir DIR [--fast-unwind] [--expect-zelk-leak]
                     -- COMMAND...

The interpreter is not instrumented, so the sanitizer runtimes (LIBS, colon-separated) are
preloaded, and PYTHONMALLOC=malloc routes the interpreter's allocations through the
intercepted malloc. Every process of the run, subprocesses included, writes its reports to
one fresh directory. Afterwards:

- any AddressSanitizer error or UndefinedBehaviorSanitizer report fails the run;
- a leak fails the run when a frame of its allocation stack lies in zelk's code (the
  sanitized shared object, or a function of the module's ext_/Ext_ families);
- a leak with no frame in zelk's code is the interpreter's own and is counted, not failed.
  The ones understood are listed in lsan_interpreter.txt (for instance the state block that
  the import machinery drops when create hands back the module object of an earlier
  import); any other is printed, so that it can be looked at and listed. With --fast-unwind
  the allocation stacks stop at the first interpreter frame (it keeps no frame pointers), so
  a leak cannot be traced to zelk: then every leak not listed there fails the run.

With --expect-zelk-leak the run passes only if a leak in zelk's code was reported: the
canary that proves the classification sees zelk's leaks.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ZELK_FRAME = re.compile(r" in (ext_|Ext_|ext::)|/zelk\.cpython|\bpkg/[\w.]+:\d+|\(.*sanitize/zelk")


def load_interpreter_patterns():
    """The listed patterns that hold for the running interpreter: a line that starts with a
    version ("3.12: ...") holds for that major.minor only."""
    patterns = []
    running = "%d.%d" % sys.version_info[:2]
    with open(os.path.join(HERE, "lsan_interpreter.txt")) as listing:
        for line in listing:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            scoped = re.match(r"(\d+\.\d+): (.*)", line)
            if scoped:
                if scoped.group(1) != running:
                    continue
                line = scoped.group(2)
            patterns.append(line)
    return patterns


def leak_blocks(report):
    """(header, frames) for each leak record of a LeakSanitizer report."""
    blocks = []
    current = None
    for line in report.splitlines():
        if re.match(r"(Direct|Indirect) leak of ", line):
            current = (line, [])
            blocks.append(current)
        elif current is not None and re.match(r"\s+#\d+ ", line):
            current[1].append(line.strip())
        elif current is not None and not line.strip():
            current = None
    return blocks


def judge(report_dir, interpreter_patterns, strict):
    """(failures, zelk leaks, interpreter leaks, processes reporting)."""
    failures = []
    zelk_leaks = 0
    interpreter_leaks = 0
    files = sorted(os.listdir(report_dir))
    for name in files:
        with open(os.path.join(report_dir, name), errors="replace") as handle:
            report = handle.read()
        if re.search(r"ERROR: AddressSanitizer|runtime error:|ERROR: UndefinedBehavior", report):
            failures.append("sanitizer error in %s:\n%s" % (name, report))
            continue
        for header, frames in leak_blocks(report):
            if any(ZELK_FRAME.search(frame) for frame in frames):
                zelk_leaks += 1
                failures.append("leak in zelk's code (%s):\n  %s\n    %s" % (
                    name, header, "\n    ".join(frames)))
            else:
                interpreter_leaks += 1
                # Source paths as the listing spells them, whatever the interpreter's build
                # directory was ("../Objects/..." in Debian's).
                sources = [re.sub(r"(?<= )(\.\./)+", "", frame) for frame in frames]
                if not any(pattern in frame for frame in sources
                           for pattern in interpreter_patterns):
                    if strict:
                        failures.append("leak of unknown origin (%s):\n  %s\n    %s" % (
                            name, header, "\n    ".join(frames)))
                        continue
                    print("interpreter leak not in lsan_interpreter.txt (%s):\n  %s\n    %s" % (
                        name, header, "\n    ".join(frames)))
    return failures, zelk_leaks, interpreter_leaks, len(files)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runtime", required=True)
    parser.add_argument("--module-dir", required=True)
    parser.add_argument("--expect-zelk-leak", action="store_true")
    parser.add_argument("--fast-unwind", action="store_true",
                        help="frame-pointer stacks: much faster, but an allocation stack "
                             "stops at the first interpreter frame, so any leak not listed "
                             "as the interpreter's fails the run")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    command = options.command[1:] if options.command[:1] == ["--"] else options.command

    report_dir = tempfile.mkdtemp(prefix="zelk-sanitize-")
    log = os.path.join(report_dir, "report")
    env = dict(os.environ)
    module = [name for name in os.listdir(options.module_dir)
              if name.startswith("zelk.") and name.endswith(".so")]
    env.update({
        "LD_PRELOAD": options.runtime,
        "PYTHONMALLOC": "malloc",
        "PYTHONPATH": options.module_dir,
        # Full allocation stacks: the interpreter has no frame pointers to follow.
        "ASAN_OPTIONS": "detect_leaks=1:abort_on_error=1:log_path=%s:%s" % (
            log, "fast_unwind_on_malloc=1" if options.fast_unwind else
            "fast_unwind_on_malloc=0:malloc_context_size=16"),
        "LSAN_OPTIONS": "exitcode=0",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:abort_on_error=1:log_path=" + log,
    })
    if module:
        env["ZELK_MODULE"] = os.path.join(options.module_dir, module[0])
    try:
        status = subprocess.call(command, env=env)
        failures, zelk_leaks, interpreter_leaks, processes = judge(
            report_dir, load_interpreter_patterns(), options.fast_unwind)
    finally:
        shutil.rmtree(report_dir, ignore_errors=True)

    print("sanitizers: exit status %d; %d report file(s); %d leak(s) in zelk's code; "
          "%d leak record(s) of the interpreter's own" % (
              status, processes, zelk_leaks, interpreter_leaks))
    if options.expect_zelk_leak:
        if zelk_leaks:
            print("canary: the leak made in a zelk call was reported, as it must be")
            return 0
        print("canary: the leak made in a zelk call went unreported")
        return 1
    for failure in failures:
        print(failure)
    return 1 if status or failures else 0


if __name__ == "__main__":
    sys.exit(main())
