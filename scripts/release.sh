#!/usr/bin/env bash
# Makes a release of the current commit into DIR (default dist/ of the checkout): the source
# archive, exported from HEAD as committed (not the working tree), and every wheel built from that
# archive as a user's pip builds it, then SHA256SUMS.
#
#   scripts/release.sh [--quick] [DIR]
#
# Wheels, on x86_64: one per CPython 3.6-3.13 (~/.pyenv/versions), 3.14 and 3.15 (the Debian
# unstable tree of scripts/sid-tree.sh), PyPy 3.9 (pypy3 here) and 3.11 (the tree); the stable-ABI
# wheel cp36-abi3 built by 3.6; and the stable-ABI wheel cross-built for arm64, s390x, ppc64el,
# i386 and armhf by the backend run by each architecture's python3.11 under qemu, its CMake
# handed the toolchain of scripts/cross-arch.sh. Each wheel's platform tag is the lowest manylinux
# policy auditwheel finds it consistent with (manylinux1 on x86_64 and i686, which pip 18.1 takes).
#
# Nothing counts before it is proven, one line per check, and the first artifact that falls short
# stops the release (exit 1): auditwheel show confirms each wheel's tag; twine check --strict
# passes each artifact; each wheel installs offline into a fresh venv of every interpreter its tag
# claims (the stable-ABI wheel: CPython 3.6-3.15 and the debug builds 3.14d and 3.15d; cross-built
# ones under qemu, into a venv on arm64 and with pip install --target elsewhere), imports and
# passes a smoke check; the source archive installs with the tree's pip; a second build of the
# source archive and of the x86_64 stable-ABI wheel gives the same bytes. Timestamps come from the
# commit (SOURCE_DATE_EPOCH) and the umask is fixed, so two runs of one commit give the same
# bytes. --quick installs the stable-ABI wheel into 3.6, 3.13, 3.15 and 3.15d only.
#
# Needs root (the trees' chroot and mounts); a machine that cannot make the trees says so in one
# line and exits 3. Works in build-release/ of the checkout, which the trees see at its own path.
set -euo pipefail
umask 022
export LC_ALL=C TZ=UTC PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 NO_COLOR=1
unset CMAKE_TOOLCHAIN_FILE PYTHONPATH PYTHONHOME

root="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
if [ "${1:-}" = --quick ]; then
  quick=1
  shift
fi
[ $# -le 1 ] || { echo "usage: $0 [--quick] [DIR]" >&2; exit 2; }
dest="${1:-$root/dist}"
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
[ -d "$pyenv_root/versions" ] || pyenv_root=/root/.pyenv
work="$root/build-release"
stage="$work/stage"
started=$SECONDS

say() { echo "release: $*"; }
proof() { echo "proof: $*"; }
fail() {
  echo "release: FAILED: $*" >&2
  exit 1
}
cannot() {
  echo "release: $*; no release made" >&2
  exit 3
}
in_sid() { "$root/scripts/sid-tree.sh" run "$@"; }
# Runs a step with its output in a log; on failure shows the log's end and stops.
logged() {
  local log="$work/logs/$1"
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -40 "$log" >&2
    fail "$* (log: $log)"
  fi
}

[ "$(id -u)" -eq 0 ] || cannot "needs root, for the Debian unstable and cross trees"
host_versions=(3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13)
declare -A host_pythons
for version in "${host_versions[@]}"; do
  found=("$pyenv_root"/versions/"$version".*/bin/python"$version")
  [ -x "${found[-1]}" ] || cannot "no CPython $version under $pyenv_root/versions"
  host_pythons[$version]="${found[-1]}"
done
py36="${host_pythons[3.6]}"
# Debian's own 3.11, which the cp311 and stable-ABI wheels claim too.
debian_python=()
[ "$(/usr/bin/python3 -c 'import sys; print(sys.version_info[:2] == (3, 11))' 2>/dev/null)" \
  != True ] || debian_python=(/usr/bin/python3)
command -v pypy3 >/dev/null || cannot "no pypy3 (Debian: pypy3, pypy3-dev)"
# pip for the cross trees that have no venv: run from its wheel by the target's interpreter.
pip_wheels=("$pyenv_root"/versions/3.11.*/lib/python3.11/ensurepip/_bundled/pip-*.whl)
[ -f "${pip_wheels[-1]}" ] || cannot "no pip wheel in CPython 3.11's ensurepip"
pip_wheel="${pip_wheels[-1]}"
status=0
"$root/scripts/sid-tree.sh" make >/dev/null || status=$?
[ $status -eq 0 ] || { [ $status -eq 3 ] && cannot "no Debian unstable tree"; fail "sid-tree"; }
arches=(arm64 s390x ppc64el i386 armhf)
for arch in "${arches[@]}"; do
  status=0
  "$root/scripts/cross-arch.sh" tree "$arch" >/dev/null || status=$?
  [ $status -eq 0 ] || { [ $status -eq 3 ] && cannot "no $arch tree"; fail "cross-arch $arch"; }
done

# --- the source, as committed --------------------------------------------------------------------
commit="$(git -C "$root" rev-parse HEAD)"
SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct HEAD)"
export SOURCE_DATE_EPOCH
[ -z "$(git -C "$root" status --porcelain --untracked-files=no)" ] ||
  say "the working tree's uncommitted changes are left out"
say "commit $commit, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
rm -rf "$work"
mkdir -p "$work"/{src,stage,built,again,logs,venvs,cross,target,sdist} "$work/empty"
git -C "$root" archive --format=tar HEAD | tar -x -C "$work/src"

# The smoke check, run by every interpreter a wheel goes to, from a directory without zelk.
cat >"$work/smoke.py" <<'EOF'
import os, platform, sys, traceback, warnings
# Any warning on import, such as a version mismatch, fails the check.
warnings.simplefilter("error")
import zelk
expected = sys.argv[1]
assert os.path.basename(zelk.__file__) == expected, (zelk.__file__, expected)
assert zelk.add(2, 3) == 5
assert zelk.sub(b=5, a=7) == 2
try:
    zelk.add("x", 1)
except TypeError as error:
    entry = traceback.extract_tb(error.__traceback__)[-1]
    assert (entry.filename, entry.lineno, entry.name) == ("pkg/zelk.pyi", 12, "zelk.add"), entry
else:
    raise AssertionError("zelk.add('x', 1) did not fail")
# The module's "Add" reaches C stdout at exit, before or after this line.
print("smoke: %s %s %s: imports %s; add, sub by keyword, traceback entry pkg/zelk.pyi:12 "
      "zelk.add" % (platform.python_implementation(), platform.python_version(),
                    platform.machine(), expected))
EOF
# Installs an artifact into a fresh venv of an interpreter and runs the smoke check; the same
# paths here and in the unstable tree.
cat >"$work/venv-check.sh" <<'EOF'
#!/bin/sh
# venv-check.sh PYTHON VENV ARTIFACT MODULE
set -e
here="$(cd "$(dirname "$0")" && pwd)"
rm -rf "$2"
"$1" -m venv "$2"
"$2/bin/python" -m pip install --no-index --no-deps --no-cache-dir -q "$3"
pip="$("$2/bin/python" -m pip --version | cut -d' ' -f2)"
cd "$here/empty"
out="$("$2/bin/python" "$here/smoke.py" "$4")"
case "$out" in *Add*) ;; *) echo "no Add on C stdout: $out" >&2; exit 1 ;; esac
echo "$(echo "$out" | sed -n 's/.*smoke: //p'), venv, pip $pip"
EOF
chmod +x "$work/venv-check.sh"

# --- the source archive --------------------------------------------------------------------------
logged sdist.log sh -c 'cd "$1" && "$2" backend/zelk_build.py sdist "$3"' sh "$work/src" "$py36" \
  "$stage"
found=("$stage"/zelk-*.tar.gz)
sdist="${found[0]}"
tar -xzf "$sdist" -C "$work/sdist"
found=("$work"/sdist/zelk-*)
unpacked="${found[0]}"
say "built $(basename "$sdist")"

# --- the wheels, each from the source archive ----------------------------------------------------
# Into built/NAME/, where exactly one wheel must appear.
built_keys=()
take_wheel() {
  built_keys+=("$1")
  local made=("$work/built/$1"/*.whl)
  [ ${#made[@]} -eq 1 ] && [ -f "${made[0]}" ] || fail "$1: no single wheel in $work/built/$1"
  say "built $(basename "${made[0]}") ($2)"
}
# pip older than in-tree backends: the backend's own command, from the unpacked archive.
mkdir -p "$work/built/3.6"
logged wheel-3.6.log sh -c 'cd "$1" && "$2" backend/zelk_build.py wheel "$3"' sh "$unpacked" \
  "$py36" "$work/built/3.6"
take_wheel 3.6 "CPython 3.6, backend/zelk_build.py wheel"
for version in "${host_versions[@]:1}"; do
  logged "wheel-$version.log" "${host_pythons[$version]}" -m pip wheel --no-index --no-deps \
    --no-cache-dir -w "$work/built/$version" "$sdist"
  take_wheel "$version" "CPython $version, pip wheel"
done
logged wheel-pypy3.9.log pypy3 -m pip wheel --no-index --no-deps --no-cache-dir \
  -w "$work/built/pypy3.9" "$sdist"
take_wheel pypy3.9 "PyPy 3.9, pip wheel"
# The unstable tree's interpreters have pip in a venv only.
for name in 3.14 3.15 pypy3.11; do
  case "$name" in
    pypy*) python=/usr/bin/pypy3 ;;
    *) python="/usr/bin/python$name" ;;
  esac
  logged "wheel-$name.log" in_sid sh -c '"$1" -m venv "$2" && "$2/bin/python" -m pip wheel \
    --no-index --no-deps --no-cache-dir -w "$3" "$4"' sh "$python" "$work/venvs/build-$name" \
    "$work/built/$name" "$sdist"
  take_wheel "$name" "$name in the unstable tree, pip wheel"
done
mkdir -p "$work/built/abi3-x86_64"
logged wheel-abi3-x86_64.log sh -c 'cd "$1" && "$2" backend/zelk_build.py wheel --stable-abi "$3"' \
  sh "$unpacked" "$py36" "$work/built/abi3-x86_64"
take_wheel abi3-x86_64 "CPython 3.6, backend/zelk_build.py wheel --stable-abi"
for arch in "${arches[@]}"; do
  cross="$work/cross/$arch"
  logged "toolchain-$arch.log" "$root/scripts/cross-arch.sh" toolchain "$arch" "$cross"
  # The same interpreter named by its own path, for pip: it reads sys.executable's ELF header
  # to tell which manylinux tags a 32-bit machine takes.
  sed 's/ -0 "\$0"//' "$cross/python3" >"$cross/python3-elf"
  chmod +x "$cross/python3-elf"
  mkdir -p "$work/built/abi3-$arch"
  logged "wheel-abi3-$arch.log" env CMAKE_TOOLCHAIN_FILE="$cross/toolchain.cmake" sh -c \
    'cd "$1" && "$2" backend/zelk_build.py wheel --stable-abi "$3"' sh "$unpacked" \
    "$cross/python3" "$work/built/abi3-$arch"
  take_wheel "abi3-$arch" "$arch python3.11 under qemu, backend/zelk_build.py wheel --stable-abi"
done

# --- platform tags, as auditwheel judges them ----------------------------------------------------
# The policy auditwheel finds a wheel consistent with: the most widely installable one.
shown_policy() {
  local shown
  shown="$(in_sid auditwheel show "$1" 2>&1)" || { echo "$shown" >&2; fail "auditwheel show $1"; }
  tr -s ' \n' '  ' <<<"$shown" |
    sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p'
}
# PEP 600's names for the policies that had one before it.
declare -A legacy_names=([2_5]=manylinux1 [2_12]=manylinux2010 [2_17]=manylinux2014)
declare -A released
for key in "${built_keys[@]}"; do
  built=("$work/built/$key"/*.whl)
  name="$(basename "${built[0]}")"
  policy="$(shown_policy "${built[0]}")"
  [[ "$policy" =~ ^manylinux_([0-9]+_[0-9]+)_(.+)$ ]] ||
    fail "auditwheel show: $name is consistent with ${policy:-nothing it names}, no manylinux"
  glibc="${BASH_REMATCH[1]}" cpu="${BASH_REMATCH[2]}"
  case "$cpu" in
    x86_64 | i686) [ "$glibc" = 2_5 ] ||
      fail "auditwheel show: $name needs $policy; $cpu wheels must be manylinux1 (glibc 2.5)" ;;
  esac
  platform="$policy"
  [ -z "${legacy_names[$glibc]:-}" ] || platform="${legacy_names[$glibc]}_$cpu.$policy"
  cp "${built[0]}" "$stage/"
  wheel="$(python3 "$root/scripts/retag-wheel.py" "$stage/$name" "$platform")"
  # The judge again, on the wheel as released, whose tag claims that policy and no other.
  confirmed="$(shown_policy "$wheel")"
  [ "$confirmed" = "$policy" ] || fail "auditwheel show: $(basename "$wheel") is $confirmed"
  proof "auditwheel show: $(basename "$wheel"): consistent with $confirmed, its tag $platform"
  released[$key]="$wheel"
done

# --- twine ---------------------------------------------------------------------------------------
for artifact in "$stage"/zelk-*; do
  checked="$(in_sid twine --no-color check --strict "$artifact" 2>&1)" ||
    { echo "$checked" >&2; fail "twine check --strict $(basename "$artifact")"; }
  proof "twine check --strict: $(basename "$artifact"): $(tr -s ' \n' '  ' <<<"$checked" |
    sed 's/.*: //')"
done

# --- installs ------------------------------------------------------------------------------------
# install_check PYTHON ARTIFACT MODULE: PYTHON is a path here, or sid:PATH in the unstable tree.
install_check() {
  local where="$1" artifact="$2" module="$3" line run=()
  local venv="$work/venvs/check-${where//[:\/]/_}"
  [[ "$where" != sid:* ]] || run=(in_sid)
  line="$("${run[@]}" "$work/venv-check.sh" "${where#sid:}" "$venv" "$artifact" "$module" \
    2>"$work/logs/install.log")" || { tail -20 "$work/logs/install.log" >&2
    fail "$(basename "$artifact") in a venv of ${where#sid:}"; }
  proof "install: $(basename "$artifact"): $line"
}
# A cross-built stable-ABI wheel, by its architecture's python3.11 under qemu: into a venv where
# the tree has venv (arm64), elsewhere with pip, run from its wheel, into a --target directory.
cross_check() {
  local arch="$1" wheel="$2" module="$3" cross="$work/cross/$1" line target
  if [ "$arch" = arm64 ]; then
    line="$("$work/venv-check.sh" "$cross/python3" "$work/venvs/check-$arch" "$wheel" "$module" \
      2>"$work/logs/install.log")" ||
      { tail -20 "$work/logs/install.log" >&2; fail "$(basename "$wheel") in a venv on $arch"; }
  else
    target="$work/target/$arch"
    logged "install-$arch.log" "$cross/python3-elf" "$pip_wheel/pip" install --no-index \
      --no-deps --no-cache-dir -q --target "$target" "$wheel"
    line="$(cd "$work/empty" && PYTHONPATH="$target" "$cross/python3" "$work/smoke.py" \
      "$module")" || fail "$(basename "$wheel") on $arch"
    [[ "$line" == *Add* ]] || fail "$(basename "$wheel") on $arch: no Add on C stdout"
    line="$(sed -n 's/.*smoke: //p' <<<"$line")"
    line="$line, pip install --target, $(basename "$pip_wheel" | cut -d- -f1-2)"
  fi
  proof "install: $(basename "$wheel"): $line (qemu)"
}
module_of() {  # the module file a wheel holds
  python3 -c 'import sys, zipfile
print(*[n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.startswith("zelk.")])' "$1"
}
for key in "${built_keys[@]}"; do
  wheel="${released[$key]}"
  module="$(module_of "$wheel")"
  case "$key" in
    abi3-x86_64)
      if [ $quick -eq 1 ]; then
        targets=("$py36" "${host_pythons[3.13]}" sid:/usr/bin/python3.15 sid:/usr/bin/python3.15d)
      else
        targets=()
        for version in "${host_versions[@]}"; do
          targets+=("${host_pythons[$version]}")
        done
        targets+=("${debian_python[@]}" sid:/usr/bin/python3.14
                 sid:/usr/bin/python3.15 sid:/usr/bin/python3.14d sid:/usr/bin/python3.15d)
      fi ;;
    abi3-*) cross_check "${key#abi3-}" "$wheel" "$module"; continue ;;
    3.11) targets=("${host_pythons[3.11]}" "${debian_python[@]}") ;;
    3.14 | 3.15) targets=("sid:/usr/bin/python$key") ;;
    pypy3.9) targets=(pypy3) ;;
    pypy3.11) targets=(sid:/usr/bin/pypy3) ;;
    *) targets=("${host_pythons[$key]}") ;;
  esac
  for target in "${targets[@]}"; do
    install_check "$target" "$wheel" "$module"
  done
done
# The source archive, built by the tree's pip.
install_check sid:/usr/bin/python3.14 "$sdist" "zelk.cpython-314-x86_64-linux-gnu.so"

# --- the same bytes again ------------------------------------------------------------------------
# Another export at another path, another build directory: nothing of either may reach the bytes.
mkdir -p "$work/again-src/export" "$work/again-src/unpacked"
git -C "$root" archive --format=tar HEAD | tar -x -C "$work/again-src/export"
logged again.log sh -c 'cd "$1/export" && "$2" backend/zelk_build.py sdist "$3" &&
  tar -xzf "$3"/zelk-*.tar.gz -C "$1/unpacked" &&
  cd "$1"/unpacked/zelk-* && "$2" backend/zelk_build.py wheel --stable-abi "$3"' sh \
  "$work/again-src" "$py36" "$work/again"
for again in "$work"/again/*; do
  name="$(basename "$again")"
  first="$stage/$name"
  [ -f "$first" ] || first="$work/built/abi3-x86_64/$name"
  cmp -s "$again" "$first" || fail "a second build of $name gave other bytes"
  proof "rebuilt: $name: the same bytes"
done

# --- DIR -----------------------------------------------------------------------------------------
(cd "$stage" && sha256sum zelk-* >SHA256SUMS)
mkdir -p "$dest"
rm -f "$dest"/zelk-*.whl "$dest"/zelk-*.tar.gz "$dest/SHA256SUMS"
cp -p "$stage"/zelk-* "$stage/SHA256SUMS" "$dest/"
artifacts=("$stage"/zelk-*)
say "${#artifacts[@]} artifacts and SHA256SUMS in $dest" \
  "(SHA256SUMS $(sha256sum "$dest/SHA256SUMS" | cut -c1-16)), $((SECONDS - started)) s"
