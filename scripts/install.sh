#!/usr/bin/env bash
# Installs zelk and its type stub (zelk.pyi, beside the module so that type checkers find it)
# into the platform site-packages of a chosen interpreter, which may be a virtual environment.
#
#   scripts/install.sh --python /path/to/python [--build-dir DIR]
#
# Without --build-dir the module is built for that interpreter in build-install-<version>/ (PyPy:
# build-install-pypy<version>/) at the top of the tree. A given build directory must hold a
# module built for the same interpreter version.
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
# site-packages is, the interpreter it was made from (a virtual environment's base), and a name
# for a build tree of its own (PyPy's apart from CPython's of the same version).
mapfile -t facts < <("$python" - <<'EOF'
import os, sys, sysconfig
version = "%d.%d" % sys.version_info[:2]
name = ("pypy" if sys.implementation.name == "pypy" else "python") + version
print(version)
print(sysconfig.get_config_var("EXT_SUFFIX"))
print(sysconfig.get_path("platlib"))
base = os.path.join(sys.base_prefix, "bin", name)
print(base if os.path.exists(base) else sys.executable)
print(version if name.startswith("python") else name)
EOF
)
version="${facts[0]}"
ext_suffix="${facts[1]}"
platlib="${facts[2]}"
base_python="${facts[3]}"
build_name="${facts[4]}"

if [ -z "$build_dir" ]; then
  build_dir="$root/build-install-$build_name"
  cmake -S "$root" -B "$build_dir" -DPython3_EXECUTABLE="$base_python" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build_dir" -j2 --target zelk >/dev/null
fi
[ -f "$build_dir/CMakeCache.txt" ] || { echo "$0: $build_dir is not a build directory" >&2; exit 2; }
if [ ! -f "$build_dir/zelk$ext_suffix" ]; then
  echo "$0: $build_dir holds no zelk$ext_suffix: it was built for another interpreter than" \
    "$python (Python $version)" >&2
  exit 1
fi

# The build's install rules name the files; they are staged under a scratch prefix and moved to
# the interpreter's site-packages from there. A virtual environment may lay out its site-packages
# unlike the interpreter it was made from (Debian's PyPy keeps local/lib/pypy3.9/dist-packages,
# its environments lib/pypy3.9/site-packages), so the build's own directory is not used.
install_dir="$(sed -n 's/^ZELK_INSTALL_DIR:[A-Z]*=//p' "$build_dir/CMakeCache.txt")"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
cmake --install "$build_dir" --prefix "$stage" --component zelk >/dev/null
mkdir -p "$platlib"
for file in "$stage/$install_dir"/*; do
  cp -p "$file" "$platlib/"
  echo "-- Installing: $platlib/$(basename "$file")"
done
