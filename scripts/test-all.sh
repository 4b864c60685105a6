#!/usr/bin/env bash
# Builds and tests zelk once for every CPython 3 installed under the pyenv root
# ($PYENV_ROOT, else ~/.pyenv), for PyPy 3 when a pypy3 with its headers is on the PATH
# (Debian: pypy3, pypy3-dev), and for the interpreters of Debian's unstable suite, run inside
# the tree that scripts/sid-tree.sh makes (CPython 3.14 and 3.15, their debug builds, PyPy
# 3.11): one build tree per interpreter in build-all/<name>/, named by major.minor for CPython
# ("3.12"), with a "d" for a debug build ("3.14d"), and "pypy3.9" for PyPy. 3.6, the reference
# interpreter, must be there; the others run when present. A machine that cannot make the
# unstable tree says so in one line and runs the rest. A name with a suffix builds another way,
# in a tree of its own: "-public" on the documented C API alone (ZELK_PUBLIC_API_ONLY), "-next"
# against the interpreter's headers raised to the next minor version, as for a CPython not yet
# released (ZELK_NEXT_MINOR_HEADERS); "-abi3" on the stable ABI (ZELK_STABLE_ABI): 3.6-abi3
# builds zelk.abi3.so, and every other "-abi3" tree tests that very file with its interpreter
# (ZELK_STABLE_ABI_MODULE); "-abi3-calls" likewise, with a module that reads every object through
# calls, as the stable ABI's does on a CPython newer than any checked (ZELK_STABLE_ABI_CALLS_ONLY).
# The whole matrix adds 3.6-public, 3.15-public and 3.15-next, the stable ABI's module on every
# CPython, and its calls-only module on 3.6 and 3.15.
#
#   scripts/test-all.sh [NAME...]     e.g. scripts/test-all.sh 3.6 3.12 pypy3.9 3.14d 3.6-public
#
# Debian's other architectures (arm64 s390x ppc64el i386 armhf, or those named) follow, each
# cross-built and run under qemu-user by scripts/cross-arch.sh in build-all/<arch>/, and once
# more on the stable ABI in build-all/<arch>-abi3/ ("arm64-abi3" names that one alone).
#
# The heavy reliability suites (ctest labels sanitize and reliability) run on the interpreters
# in ZELK_HEAVY_VERSIONS (default "3.6 3.12 3.14"), and are left out on the others to keep the
# whole matrix within CI's time; debug builds run the functional suites and the reference-leak
# check. Prints each ctest summary and exits non-zero if any build or test failed.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
[ -d "$pyenv_root/versions" ] || pyenv_root=/root/.pyenv
heavy_versions=" ${ZELK_HEAVY_VERSIONS:-3.6 3.12 3.14 3.6-abi3 3.12-abi3 3.14-abi3 3.6-abi3-calls} "
heavy_labels='sanitize|reliability'
sid_tree="$root/scripts/sid-tree.sh"
failed=()

# Reads ctest's closing summary from a log into $summary and adds its counts to the totals.
tests_passed=0
tests_failed=0
count_tests() {
  summary="$(grep -E '^[0-9]+% tests passed' "$1" || echo 'no test summary')"
  if [[ "$summary" =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    tests_failed=$((tests_failed + BASH_REMATCH[1]))
    tests_passed=$((tests_passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
}

# name -> interpreter, newest patch release of each CPython.
declare -A interpreters
for bin_dir in "$pyenv_root"/versions/3.*/bin; do
  for python in "$bin_dir"/python3.*; do
    name="$(basename "$python")"
    [[ "$name" =~ ^python(3\.[0-9]+)$ && -x "$python" ]] || continue
    interpreters["${BASH_REMATCH[1]}"]="$python"
  done
done
# PyPy's C API headers come in a package of their own.
if pypy="$(command -v pypy3)"; then
  mapfile -t pypy_facts < <("$pypy" -c 'import sys, sysconfig
print("pypy%d.%d" % sys.version_info[:2]); print(sysconfig.get_path("include"))' 2>/dev/null)
  if [ -f "${pypy_facts[1]:-}/Python.h" ]; then
    interpreters["${pypy_facts[0]}"]="$pypy"
  else
    echo "test-all: $pypy has no C API headers (Debian: pypy3-dev); PyPy left out" >&2
  fi
fi
# Debian unstable's interpreters, each run inside its tree: name -> path there.
declare -A in_sid_tree
sid_names=(3.14 3.15 3.14d 3.15d pypy3.11)
wants_sid=1
if [ $# -gt 0 ]; then
  wants_sid=0
  for name in "$@"; do
    name="${name%-public}"
    name="${name%-calls}"
    name="${name%-abi3}"
    [[ " ${sid_names[*]} " == *" ${name%-next} "* ]] && wants_sid=1
  done
fi
if [ $wants_sid -eq 1 ]; then
  if tree="$("$sid_tree" make)"; then
    for name in "${sid_names[@]}"; do
      case "$name" in
        pypy*) python=/usr/bin/pypy3 headers="/usr/include/$name/Python.h" ;;
        *) python="/usr/bin/python$name" headers="" ;;
      esac
      [ -x "$tree$python" ] && { [ -z "$headers" ] || [ -f "$tree$headers" ]; } || continue
      interpreters[$name]="$python"
      in_sid_tree[$name]=1
    done
  else
    # A machine that cannot make it has said why; a script that broke on one that can fails.
    if [ $? -ne 3 ]; then
      echo "test-all: the Debian unstable tree could not be made" >&2
      failed+=("the Debian unstable tree")
    fi
  fi
fi
if [ -z "${interpreters[3.6]:-}" ]; then
  echo "test-all: no CPython 3.6 under $pyenv_root/versions;" \
    "it is the reference and must be there" >&2
  exit 1
fi

# --- Debian's other architectures: the names among the arguments, all when none is given.
cross_all="arm64 s390x ppc64el i386 armhf"
cross_arches=()
cross_built=0
interpreter_names=()
for name in "$@"; do
  if [[ " $cross_all " == *" ${name%-abi3} "* ]]; then
    cross_arches+=("$name")
  else
    interpreter_names+=("$name")
  fi
done
[ $# -gt 0 ] || read -ra cross_arches <<<"$cross_all ${cross_all// /-abi3 }-abi3"
# ---

if [ $# -gt 0 ]; then
  versions=("${interpreter_names[@]}")
else
  # CPythons by version (each release before its debug build), then PyPy.
  mapfile -t versions < <(printf '%s\n' "${!interpreters[@]}" | sort -t. -k1,1V -k2,2n)
  # The documented C API side, and a CPython newer than any checked (made from 3.15's headers).
  versions+=(3.6-public)
  [ -n "${in_sid_tree[3.15]:-}" ] && versions+=(3.15-public 3.15-next)
  # One stable-ABI module, built against 3.6 first, then on every CPython.
  for version in "${versions[@]}"; do
    [[ "$version" =~ ^3\.[0-9]+d?$ ]] && versions+=("$version-abi3")
  done
  versions+=(3.6-abi3-calls)
  [ -n "${in_sid_tree[3.15]:-}" ] && versions+=(3.15-abi3-calls)
fi
abi3_module="$root/build-all/3.6-abi3/zelk.abi3.so"
calls_only_module="$root/build-all/3.6-abi3-calls/zelk.abi3.so"

mkdir -p "$root/build-all"
summaries=()
for version in "${versions[@]}"; do
  base="$version"
  configure=()
  built=""
  case "$version" in
    *-public)
      base="${version%-public}" configure=(-DZELK_PUBLIC_API_ONLY=ON)
      built=", documented C API only"
      ;;
    *-next)
      base="${version%-next}" configure=(-DZELK_NEXT_MINOR_HEADERS=ON)
      built=", headers raised to the next minor version"
      ;;
    3.6-abi3-calls)
      base=3.6 configure=(-DZELK_STABLE_ABI=ON -DZELK_STABLE_ABI_CALLS_ONLY=ON)
      built=", stable ABI read through calls: zelk.abi3.so built"
      ;;
    *-abi3-calls)
      base="${version%-abi3-calls}" configure=(-DZELK_STABLE_ABI_MODULE="$calls_only_module")
      built=", stable ABI read through calls: 3.6-abi3-calls's zelk.abi3.so"
      ;;
    3.6-abi3)
      base=3.6 configure=(-DZELK_STABLE_ABI=ON)
      built=", stable ABI: zelk.abi3.so built"
      ;;
    *-abi3)
      base="${version%-abi3}" configure=(-DZELK_STABLE_ABI_MODULE="$abi3_module")
      built=", stable ABI: 3.6-abi3's zelk.abi3.so"
      ;;
  esac
  python="${interpreters[$base]:-}"
  label="CPython $base"
  [[ "$base" == pypy* ]] && label="PyPy ${base#pypy}"
  [[ "$base" == *d ]] && label="CPython ${base%d} (debug build)"
  # The unstable suite's interpreters are run inside its tree, where the checkout has its path.
  run=()
  if [ -n "${in_sid_tree[$base]:-}" ]; then
    run=("$sid_tree" run)
    label="$label, Debian unstable"
    # The packaging checks made once per system, there with its python3 (3.14) and mypy; and the
    # benchmark harness with the binding libraries users have now.
    [ "$version" = 3.14 ] && configure+=(-DZELK_SYSTEM_PYTHON_CHECKS=ON -DZELK_BENCHMARK_SMOKE=ON)
  fi
  if [ -z "$python" ]; then
    echo "test-all: no $label found (CPython under $pyenv_root/versions, PyPy as pypy3," \
      "or in the Debian unstable tree)" >&2
    failed+=("$version (not installed)")
    continue
  fi
  label+="$built"
  build="$root/build-all/$version"
  echo "=== $label ($python) in ${build#"$root"/}"
  started=$SECONDS
  if ! "${run[@]}" cmake -S "$root" -B "$build" -DPython3_EXECUTABLE="$python" "${configure[@]}" \
    >"$build.configure.log" 2>&1; then
    cat "$build.configure.log"
    failed+=("$version (configure)")
    continue
  fi
  sed -n 's/^-- \(zelk uses the \(documented\|limited\) C API .*\)/\1/p' "$build.configure.log"
  if ! "${run[@]}" cmake --build "$build" -j2 >"$build.build.log" 2>&1; then
    cat "$build.build.log"
    failed+=("$version (build)")
    continue
  fi
  ctest_args=(--test-dir "$build" --output-on-failure -j2)
  note=""
  if [[ "$heavy_versions" != *" $version "* ]]; then
    ctest_args+=(-LE "$heavy_labels")
    # PyPy's tree registers none of them.
    [[ "$version" == pypy* ]] || note=" (labels $heavy_labels left out)"
  fi
  "${run[@]}" ctest "${ctest_args[@]}" >"$build.ctest.log" 2>&1
  status=$?
  # The failures in full, then ctest's own closing summary.
  if [ $status -ne 0 ]; then
    sed -n '/^[0-9]*\/[0-9]* Test *#[0-9]*: .*\*\*\*/,$p' "$build.ctest.log" | head -400
    failed+=("$version (tests)")
  fi
  count_tests "$build.ctest.log"
  sed -n '/% tests passed/,$p' "$build.ctest.log"
  module_digest=""
  if [[ "$version" == *-abi3 || "$version" == *-abi3-calls ]]; then
    module_digest=", zelk.abi3.so sha256 $(sha256sum "$build/zelk.abi3.so" | cut -c1-16)"
  fi
  summaries+=("$label: $summary$note$module_digest, $((SECONDS - started)) s")
done

# --- Debian's other architectures under qemu-user: the functional suites and the core's test.
for index in "${!cross_arches[@]}"; do
  name="${cross_arches[$index]}"
  arch="${name%-abi3}"
  build="$root/build-all/$name"
  options=()
  [ "$name" = "$arch" ] || options=(-DZELK_STABLE_ABI=ON)
  echo "=== $name: Debian bookworm's python3.11 under qemu-user in ${build#"$root"/}"
  started=$SECONDS
  "$root/scripts/cross-arch.sh" test "$arch" "$build" "${options[@]}" 2>&1 | tee "$build.log"
  status=${PIPESTATUS[0]}
  if [ "$status" -eq 3 ]; then
    # This machine cannot (its one line above says why): the other architectures neither.
    summaries+=("${cross_arches[*]:$index}: left out, $(tail -1 "$build.log")")
    break
  fi
  count_tests "$build.log"
  cross_built=$((cross_built + 1))
  [ "$status" -eq 0 ] || failed+=("$name")
  phases="$(sed -n "s/^cross-arch: $arch: //p" "$build.log")"
  summaries+=("$name under qemu: $summary, $((SECONDS - started)) s (${phases:-no build})")
done
# ---

echo
echo "=== Summary"
printf '%s\n' "${summaries[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
else
  echo "All $((${#versions[@]} + cross_built)) build trees passed."
fi
# Every interpreter's tests in one closing line.
echo "ctest: $tests_passed passed, $tests_failed failed"
[ ${#failed[@]} -eq 0 ]
