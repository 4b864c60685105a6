#!/usr/bin/env bash
# A Debian unstable tree with the interpreters users have now (CPython 3.14 and 3.15 with their
# debug builds, PyPy 3.11) and its toolchain, made once with mmdebstrap and reused; and commands
# run inside it. The tree lives outside the checkout, in $ZELK_SID_TREE (default
# /var/tmp/zelk-trees/sid). Every mount a command needs (/proc, /dev, the checkout at its own
# path) is made in a mount namespace of that command's own, so it is gone when the command ends,
# however it ends, and commands can run side by side.
#
#   scripts/sid-tree.sh make               make the tree, or add what it lacks; prints its path
#   scripts/sid-tree.sh run CMD [ARG...]   run CMD in the tree, in the current directory's path
#
# Exits 3, after one line saying why, when this machine cannot make the tree (not root, no
# mmdebstrap to be had, no Debian source, no network); other failures exit 1.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
tree="${ZELK_SID_TREE:-/var/tmp/zelk-trees/sid}"
sources=/etc/apt/sources.list.d/debian.sources
# What the matrix, the packaging checks, the benchmark and the release's checks use there.
packages=(
  python3.14-dev python3.14-venv python3.14-dbg python3.15-dev python3.15-venv python3.15-dbg
  libpython3.14-testsuite libpython3.15-testsuite pypy3 pypy3-dev pypy3-venv
  g++ cmake make valgrind libgtest-dev libgmock-dev python3-mypy nanobind-dev pybind11-dev
  swig gnuplot-nox python3-auditwheel twine
)

unavailable() {
  echo "sid-tree: $*; the Debian unstable interpreters are left out" >&2
  exit 3
}

# The tree's own apt, with the suite's Release file read past its date.
in_tree_apt() {
  cp /etc/resolv.conf "$tree/etc/resolv.conf" 2>/dev/null || true
  unshare --mount --propagation private -- sh -c '
    mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev" &&
    shift && exec chroot "$0" "$@"' "$tree" "$tree" env DEBIAN_FRONTEND=noninteractive \
    apt-get -q -o Acquire::Check-Valid-Until=false "$@"
}

make_tree() {
  [ "$(id -u)" -eq 0 ] || unavailable "needs root (mmdebstrap, chroot and mounts)"
  mkdir -p "$(dirname "$tree")"
  exec 9>"$tree.lock"
  flock 9
  if [ -f "$tree/.zelk-packages" ] && [ "$(cat "$tree/.zelk-packages")" = "${packages[*]}" ]; then
    echo "$tree"
    return
  fi
  if [ -x "$tree/usr/bin/apt-get" ]; then
    # A tree made for fewer packages gains the missing ones.
    in_tree_apt update >/dev/null && in_tree_apt install -y "${packages[@]}" >/dev/null ||
      unavailable "could not add packages to $tree"
  else
    command -v mmdebstrap >/dev/null || {
      apt-get install -y -q mmdebstrap >/dev/null 2>&1 ||
        unavailable "mmdebstrap is not installed and could not be installed"
    }
    [ -r "$sources" ] || unavailable "no Debian source in $sources"
    local uri
    uri="$(awk '/^URIs:/ {print $2; exit}' "$sources")"
    [ -n "$uri" ] || unavailable "no URI in $sources"
    rm -rf "$tree.new"
    echo "sid-tree: making $tree (about a minute and 1.5 GB)" >&2
    local IFS=,
    if ! mmdebstrap --quiet --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="${packages[*]}" sid "$tree.new" "deb $uri sid main" >"$tree.log" 2>&1; then
      tail -5 "$tree.log" >&2
      rm -rf "$tree.new"
      unavailable "mmdebstrap could not make the tree (log: $tree.log)"
    fi
    unset IFS
    rm -rf "$tree"
    mv "$tree.new" "$tree"
  fi
  echo "${packages[*]}" >"$tree/.zelk-packages"
  echo "$tree"
}

run_in_tree() {
  [ -f "$tree/.zelk-packages" ] || make_tree >/dev/null
  local cwd
  cwd="$(pwd)"
  mkdir -p "$tree$root"
  # Inside: the checkout where it is outside, so build trees and paths agree on both sides.
  exec unshare --mount --propagation private -- sh -c '
    tree=$1 root=$2 cwd=$3; shift 3
    mount -t proc proc "$tree/proc" && mount --rbind /dev "$tree/dev" &&
    mount --bind "$root" "$tree$root" &&
      exec chroot "$tree" sh -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
  ' sh "$tree" "$root" "$cwd" "$@"
}

case "${1:-}" in
  make) make_tree ;;
  run)
    shift
    [ $# -gt 0 ] || { echo "usage: $0 run CMD [ARG...]" >&2; exit 1; }
    run_in_tree "$@"
    ;;
  *)
    echo "usage: $0 make | run CMD [ARG...]" >&2
    exit 1
    ;;
esac
