#!/usr/bin/env bash
# zelk on Debian's other architectures, cross-built here and run under qemu-user with each
# architecture's own bookworm python3.11: arm64, s390x, ppc64el, i386, armhf. Each has a tree of
# its Debian packages, extracted once with mmdebstrap and reused, in $ZELK_CROSS_TREES (default
# /var/tmp/zelk-trees)/bookworm-<arch>; a build tree gets a CMake toolchain file and an
# interpreter wrapper of its own in <build>/cross/.
#
#   scripts/cross-arch.sh tree ARCH              make the tree, or reuse it; prints its path
#   scripts/cross-arch.sh toolchain ARCH DIR     write DIR/toolchain.cmake and DIR/python3
#   scripts/cross-arch.sh test ARCH BUILD [OPTION...]
#                                                configure (with CMake's OPTIONs), build and run
#                                                ctest in BUILD
#
# What is missing (the cross compiler, qemu-user, mmdebstrap) is installed when running as root.
# Exits 3, after one line saying why, when this machine cannot do it (not root, no Debian
# source, no network); other failures exit 1.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
trees="${ZELK_CROSS_TREES:-/var/tmp/zelk-trees}"
sources=/etc/apt/sources.list.d/debian.sources
suite=bookworm
python=python3.11
# Everything the build and the suites take from the target: the interpreter and its headers,
# _testcapi (for the import-fault suite), GoogleTest for the core's native test.
packages=(python3 python3-dev libpython3.11 libpython3.11-testsuite libstdc++6 libgtest-dev)

unavailable() {
  echo "cross-arch: $*" >&2
  exit 3
}

# arch -> qemu's name, the cross compilers' prefix, CMake's processor name.
declare -A qemu_names=([arm64]=aarch64 [s390x]=s390x [ppc64el]=ppc64le [i386]=i386 [armhf]=arm)
declare -A compilers=([arm64]=aarch64-linux-gnu [s390x]=s390x-linux-gnu
                      [ppc64el]=powerpc64le-linux-gnu [i386]=i686-linux-gnu
                      [armhf]=arm-linux-gnueabihf)
declare -A processors=([arm64]=aarch64 [s390x]=s390x [ppc64el]=ppc64le [i386]=i686 [armhf]=armv7l)
declare -A multiarch=([arm64]=aarch64-linux-gnu [s390x]=s390x-linux-gnu
                      [ppc64el]=powerpc64le-linux-gnu [i386]=i386-linux-gnu
                      [armhf]=arm-linux-gnueabihf)

set_arch() {
  arch="${1:-}"
  [ -n "${qemu_names[$arch]:-}" ] ||
    { echo "cross-arch: no architecture '$arch' (one of: ${!qemu_names[*]})" >&2; exit 1; }
  tree="$trees/$suite-$arch"
  qemu="qemu-${qemu_names[$arch]}"
  compiler="${compilers[$arch]}"
  # Only one architecture builds the wheel in its own venv: the others need no venv.
  tree_packages=("${packages[@]}")
  [ "$arch" != arm64 ] || tree_packages+=(python3-venv)
  # What a tree was made of, and how: a tree made otherwise is made again.
  stamp="2 ${tree_packages[*]}"
}

# The host's tools for this architecture, installed by apt when missing.
install_tools() {
  local need=()
  command -v "$qemu" >/dev/null || need+=(qemu-user)
  command -v "$compiler-g++" >/dev/null || need+=("crossbuild-essential-$arch")
  command -v mmdebstrap >/dev/null || need+=(mmdebstrap)
  [ ${#need[@]} -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || unavailable "needs ${need[*]}, and only root can install them"
  local started=$SECONDS
  apt_install "${need[@]}" || { apt-get update -q >/dev/null 2>&1 && apt_install "${need[@]}"; } ||
    unavailable "needs ${need[*]}, which apt could not install"
  echo "cross-arch: installed ${need[*]} in $((SECONDS - started)) s" >&2
}
apt_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" >/dev/null 2>&1
}

tree_is_made() {
  [ -f "$tree/.zelk-packages" ] && [ "$(cat "$tree/.zelk-packages")" = "$stamp" ]
}

make_tree() {
  install_tools
  if tree_is_made; then
    echo "$tree"
    return
  fi
  [ "$(id -u)" -eq 0 ] || unavailable "making $tree needs root (mmdebstrap)"
  mkdir -p "$trees"
  # One maker at a time; whoever waited finds the tree made.
  exec 8>"$tree.lock"
  flock 8
  if tree_is_made; then
    exec 8>&-
    echo "$tree"
    return
  fi
  [ -r "$sources" ] || unavailable "no Debian source in $sources"
  local uri started=$SECONDS
  uri="$(awk '/^URIs:/ {print $2; exit}' "$sources")"
  [ -n "$uri" ] || unavailable "no URI in $sources"
  rm -rf "$tree.new"
  local IFS=,
  # Extracted only: no package scripts run, so nothing of the target's needs to run to make it.
  if ! mmdebstrap --quiet --arch="$arch" --variant=extract \
    --aptopt='Acquire::Check-Valid-Until "false"' --include="${tree_packages[*]}" \
    "$suite" "$tree.new" "deb $uri $suite main" >"$tree.log" 2>&1; then
    unset IFS
    rm -rf "$tree.new"
    # Not reaching the source is this machine's lack; anything after that is a fault.
    if grep -q '^E: apt-get update ' "$tree.log"; then
      unavailable "could not read the Debian source for $tree (log: $tree.log)"
    fi
    tail -5 "$tree.log" >&2
    echo "cross-arch: mmdebstrap could not make $tree (log: $tree.log)" >&2
    exit 1
  fi
  unset IFS
  # The target's loader would read the host's cache, where the host's own i386 libraries are
  # listed: an empty one leaves it to search the tree.
  : >"$tree.new/etc/ld.so.cache"
  # The loader's absolute link would point out of the tree, at the host's /lib64.
  if [ -L "$tree.new/lib64/ld64.so.2" ]; then
    ln -sfn "../lib/powerpc64le-linux-gnu/ld64.so.2" "$tree.new/lib64/ld64.so.2"
  fi
  # Package scripts would have compiled the standard library; uncompiled, every interpreter
  # that a suite starts compiles it again under the emulator.
  if command -v "$python" >/dev/null; then
    "$python" -m compileall -q -j2 -x '/(test|idlelib|lib2to3)/' "$tree.new/usr/lib/$python" \
      >/dev/null 2>&1 || true
  fi
  rm -rf "$tree"
  mv "$tree.new" "$tree"
  echo "$stamp" >"$tree/.zelk-packages"
  exec 8>&-
  echo "cross-arch: made $tree in $((SECONDS - started)) s" >&2
  echo "$tree"
}

write_toolchain() {
  local dir="$1"
  mkdir -p "$dir"
  # The wrapper keeps its own name as the program's, so that sys.executable is the wrapper and
  # the interpreters a test starts run under qemu too (no binfmt_misc is needed).
  cat >"$dir/python3" <<EOF
#!/bin/sh
# $suite's $python for $arch, under $qemu: made by scripts/cross-arch.sh.
export PYTHONHOME="$tree/usr"
exec $qemu -L "$tree" -0 "\$0" "$tree/usr/bin/$python" "\$@"
EOF
  chmod +x "$dir/python3"
  cat >"$dir/toolchain.cmake" <<EOF
# $suite $arch: Debian's cross compilers, the target's libraries and headers from $tree, tests
# and the interpreter run by $qemu. Made by scripts/cross-arch.sh.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processors[$arch]})
set(CMAKE_C_COMPILER $compiler-gcc)
set(CMAKE_CXX_COMPILER $compiler-g++)
set(CMAKE_FIND_ROOT_PATH "$tree")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR $qemu -L "$tree")
# Debian's pyconfig.h includes the architecture's own from the tree's include directory.
set(CMAKE_CXX_FLAGS_INIT "-idirafter $tree/usr/include")
# What the interpreter library needs in turn is found in the tree, when linking against it.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,$tree/lib/${multiarch[$arch]}:$tree/usr/lib/${multiarch[$arch]}")
set(Python3_EXECUTABLE "$dir/python3" CACHE FILEPATH "The target's interpreter under $qemu")
set(Python3_INCLUDE_DIR "$tree/usr/include/$python" CACHE PATH "The target's headers")
set(Python3_FIND_STRATEGY LOCATION)
EOF
  echo "$dir/toolchain.cmake"
}

run_tests() {
  local build="$1" phase=$SECONDS
  shift
  mkdir -p "$build"
  install_tools
  local tools_time=$((SECONDS - phase))
  phase=$SECONDS
  make_tree >/dev/null
  local tree_time=$((SECONDS - phase))
  write_toolchain "$build/cross" >/dev/null
  phase=$SECONDS
  rm -f "$build/configure.log" "$build/build.log"
  if ! cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$build/cross/toolchain.cmake" "$@" \
    >"$build/configure.log" 2>&1 || ! cmake --build "$build" -j2 >"$build/build.log" 2>&1; then
    cat "$build/configure.log" "$build/build.log" 2>/dev/null | tail -60
    echo "cross-arch: $arch: the build failed"
    return 1
  fi
  local build_time=$((SECONDS - phase))
  phase=$SECONDS
  local status=0
  ctest --test-dir "$build" --output-on-failure -j2 >"$build/ctest.log" 2>&1 || status=$?
  # The failures in full, then ctest's own closing summary.
  sed -n '/^[0-9]*\/[0-9]* Test *#[0-9]*: .*\*\*\*/,/% tests passed/{/% tests passed/!p}' \
    "$build/ctest.log" | head -400
  sed -n '/% tests passed/,$p' "$build/ctest.log"
  echo "cross-arch: $arch: tools $tools_time s, tree $tree_time s, build $build_time s," \
    "tests $((SECONDS - phase)) s"
  return $status
}

case "${1:-}" in
  tree) set_arch "${2:-}"; make_tree ;;
  toolchain)
    set_arch "${2:-}"
    [ -n "${3:-}" ] || { echo "usage: $0 toolchain ARCH DIR" >&2; exit 1; }
    make_tree >/dev/null
    write_toolchain "$3"
    ;;
  test)
    set_arch "${2:-}"
    [ -n "${3:-}" ] || { echo "usage: $0 test ARCH BUILD [OPTION...]" >&2; exit 1; }
    run_tests "${@:3}"
    ;;
  *)
    echo "usage: $0 tree ARCH | toolchain ARCH DIR | test ARCH BUILD [OPTION...]" >&2
    exit 1
    ;;
esac
