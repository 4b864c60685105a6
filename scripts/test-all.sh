#!/usr/bin/env bash
# Builds and tests zelk once for every CPython 3 installed under the pyenv root
# ($PYENV_ROOT, else ~/.pyenv), and for PyPy 3 when a pypy3 with its headers is on the PATH
# (Debian: pypy3, pypy3-dev): one build tree per interpreter in build-all/<name>/, named by
# major.minor for CPython ("3.12") and "pypy3.9" for PyPy. 3.6, the reference interpreter, must
# be there; the others run when present.
#
#   scripts/test-all.sh [NAME...]     e.g. scripts/test-all.sh 3.6 3.12 pypy3.9
#
# Debian's other architectures (arm64 s390x ppc64el i386 armhf, or those named) follow, each
# cross-built and run under qemu-user by scripts/cross-arch.sh in build-all/<arch>/.
#
# The heavy reliability suites (ctest labels sanitize and reliability) run on the interpreters
# in ZELK_HEAVY_VERSIONS (default "3.6 3.12"), and are left out on the others to keep the whole
# matrix within CI's time. Prints each ctest summary and exits non-zero if any build or test
# failed.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
[ -d "$pyenv_root/versions" ] || pyenv_root=/root/.pyenv
heavy_versions=" ${ZELK_HEAVY_VERSIONS:-3.6 3.12} "
heavy_labels='sanitize|reliability'

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
if [ -z "${interpreters[3.6]:-}" ]; then
  echo "test-all: no CPython 3.6 under $pyenv_root/versions; it is the reference and must be there" >&2
  exit 1
fi

# --- Debian's other architectures: the names among the arguments, all when none is given.
cross_all="arm64 s390x ppc64el i386 armhf"
cross_arches=()
cross_built=0
interpreter_names=()
for name in "$@"; do
  if [[ " $cross_all " == *" $name "* ]]; then
    cross_arches+=("$name")
  else
    interpreter_names+=("$name")
  fi
done
[ $# -gt 0 ] || read -ra cross_arches <<<"$cross_all"
# ---

if [ $# -gt 0 ]; then
  versions=("${interpreter_names[@]}")
else
  # CPythons by version, then PyPy.
  mapfile -t versions < <(printf '%s\n' "${!interpreters[@]}" | sort -t. -k1,1V -k2,2n)
fi

mkdir -p "$root/build-all"
failed=()
summaries=()
tests_passed=0
tests_failed=0
for version in "${versions[@]}"; do
  python="${interpreters[$version]:-}"
  label="CPython $version"
  [[ "$version" == pypy* ]] && label="PyPy ${version#pypy}"
  if [ -z "$python" ]; then
    echo "test-all: no $label found (CPython under $pyenv_root/versions, PyPy as pypy3)" >&2
    failed+=("$version (not installed)")
    continue
  fi
  build="$root/build-all/$version"
  echo "=== $label ($python) in ${build#"$root"/}"
  started=$SECONDS
  if ! cmake -S "$root" -B "$build" -DPython3_EXECUTABLE="$python" >"$build.configure.log" 2>&1; then
    cat "$build.configure.log"
    failed+=("$version (configure)")
    continue
  fi
  if ! cmake --build "$build" -j2 >"$build.build.log" 2>&1; then
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
  ctest "${ctest_args[@]}" >"$build.ctest.log" 2>&1
  status=$?
  # The failures in full, then ctest's own closing summary.
  if [ $status -ne 0 ]; then
    sed -n '/^[0-9]*\/[0-9]* Test *#[0-9]*: .*\*\*\*/,$p' "$build.ctest.log" | head -400
    failed+=("$version (tests)")
  fi
  summary="$(grep -E '^[0-9]+% tests passed' "$build.ctest.log" || echo 'no test summary')"
  if [[ "$summary" =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    tests_failed=$((tests_failed + BASH_REMATCH[1]))
    tests_passed=$((tests_passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  sed -n '/% tests passed/,$p' "$build.ctest.log"
  summaries+=("$label: $summary$note, $((SECONDS - started)) s")
done

# --- Debian's other architectures under qemu-user: the functional suites and the core's test.
for index in "${!cross_arches[@]}"; do
  arch="${cross_arches[$index]}"
  build="$root/build-all/$arch"
  echo "=== $arch: Debian bookworm's python3.11 under qemu-user in ${build#"$root"/}"
  started=$SECONDS
  "$root/scripts/cross-arch.sh" test "$arch" "$build" 2>&1 | tee "$build.log"
  status=${PIPESTATUS[0]}
  if [ "$status" -eq 3 ]; then
    # This machine cannot (its one line above says why): the other architectures neither.
    summaries+=("${cross_arches[*]:$index}: left out, $(tail -1 "$build.log")")
    break
  fi
  summary="$(grep -E '^[0-9]+% tests passed' "$build.log" || echo 'no test summary')"
  if [[ "$summary" =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    tests_failed=$((tests_failed + BASH_REMATCH[1]))
    tests_passed=$((tests_passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  cross_built=$((cross_built + 1))
  [ "$status" -eq 0 ] || failed+=("$arch")
  phases="$(sed -n "s/^cross-arch: $arch: //p" "$build.log")"
  summaries+=("$arch under qemu: $summary, $((SECONDS - started)) s (${phases:-no build})")
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
