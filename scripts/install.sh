#!/usr/bin/env bash
# Installs zelk and its type stub (zelk.pyi, beside the module so that type checkers find it)
# into the platform site-packages of a chosen interpreter, which may be a virtual environment.
#
#   scripts/install.sh --python /path/to/python [--build-dir DIR]
#
# Without --build-dir the module is built for that interpreter in build-install-<version>/ at
# the top of the tree. A given build directory must hold a module built for the same
# interpreter version.
set -euo pipefail

usage() {
  echo "usage: $0 --python PYTHON [--build-dir DIR]" >&2
  exit 2
}

python=""
build_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --python) [ $# -ge 2 ] || usage; python="$2"; shift 2 ;;
    --build-dir) [ $# -ge 2 ] || usage; build_dir="$2"; shift 2 ;;
    -h|--help) usage ;;
    *) echo "$0: unknown argument: $1" >&2; usage ;;
  esac
done
[ -n "$python" ] || usage
command -v "$python" >/dev/null || { echo "$0: no interpreter at $python" >&2; exit 2; }

root="$(cd "$(dirname "$0")/.." && pwd)"

# What the target interpreter says about itself: version, extension suffix, where its platform
# site-packages is, and the interpreter it was made from (a virtual environment's base).
mapfile -t facts < <("$python" - <<'EOF'
import os, sys, sysconfig
print("%d.%d" % sys.version_info[:2])
print(sysconfig.get_config_var("EXT_SUFFIX"))
print(sysconfig.get_path("platlib"))
base = os.path.join(sys.base_prefix, "bin", "python%d.%d" % sys.version_info[:2])
print(base if os.path.exists(base) else sys.executable)
EOF
)
version="${facts[0]}"
ext_suffix="${facts[1]}"
platlib="${facts[2]}"
base_python="${facts[3]}"

if [ -z "$build_dir" ]; then
  build_dir="$root/build-install-$version"
  cmake -S "$root" -B "$build_dir" -DPython3_EXECUTABLE="$base_python" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build_dir" -j2 --target zelk >/dev/null
fi
[ -f "$build_dir/CMakeCache.txt" ] || { echo "$0: $build_dir is not a build directory" >&2; exit 2; }
if [ ! -f "$build_dir/zelk$ext_suffix" ]; then
  echo "$0: $build_dir holds no zelk$ext_suffix: it was built for another interpreter than" \
    "$python (Python $version)" >&2
  exit 1
fi

# The build installs under <prefix>/<ZELK_INSTALL_DIR>; choose the prefix that makes that the
# interpreter's site-packages.
install_dir="$(sed -n 's/^ZELK_INSTALL_DIR:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
case "$platlib" in
  */"$install_dir") prefix="${platlib%/"$install_dir"}" ;;
  *)
    echo "$0: $platlib does not end in $install_dir; configure $build_dir with" \
      "-DZELK_INSTALL_DIR=<site-packages relative to the prefix>" >&2
    exit 1
    ;;
esac
cmake --install "$build_dir" --prefix "$prefix" --component zelk
