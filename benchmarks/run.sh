#!/usr/bin/env bash
# Builds the peers and zelk for one interpreter and runs the call-overhead benchmark.
#   benchmarks/run.sh [bench.py options]      e.g. --rounds 40, --python /path/to/python3.X
# Installs the Debian packages the peers and the chart need when they are missing; quick and
# silent when they are already there. BENCH_PYTHON picks the interpreter that runs bench.py
# (it benchmarks that interpreter unless --python says otherwise); without it, CPython 3.6, or
# the --python interpreter where there is no 3.6.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# The interpreter to benchmark, when given, also runs bench.py if BENCH_PYTHON is not set and the
# default is not on this machine (the Debian unstable tree has no 3.6).
default_py=/root/.pyenv/versions/3.6.15/bin/python3.6
target_py=""
prev=""
for arg in "$@"; do
  case "$arg" in
    --python=*) target_py="${arg#--python=}" ;;
    *) [[ "$prev" == "--python" ]] && target_py="$arg" ;;
  esac
  prev="$arg"
done
if [[ -n "${BENCH_PYTHON:-}" ]]; then
  py="$BENCH_PYTHON"
elif [[ ! -x "$default_py" && -n "$target_py" ]]; then
  py="$(command -v "$target_py" || echo "$target_py")"
else
  py="$default_py"
fi
if [[ ! -x "$py" ]]; then
  echo "no interpreter at $py; set BENCH_PYTHON" >&2
  exit 2
fi

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
wanted=(cmake g++ make pybind11-dev swig)
# Any gnuplot will do for the chart.
command -v gnuplot >/dev/null 2>&1 || wanted+=(gnuplot-nox)
need=()
for pkg in "${wanted[@]}"; do
  have_pkg "$pkg" || need+=("$pkg")
done
# The Debian unstable tree (scripts/sid-tree.sh) is shared and gets its packages from that
# script's list, not from here. Elsewhere a failed install leaves the peers it was for out; the
# build says which.
if ((${#need[@]})) && [[ -f /.zelk-packages ]]; then
  echo "the Debian unstable tree lacks ${need[*]}; scripts/sid-tree.sh's packages bring them" >&2
elif ((${#need[@]})); then
  echo "installing: ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}"; } >&2 ||
    echo "could not install ${need[*]}" >&2
fi

# Without --python, bench.py benchmarks the interpreter that runs it.
[[ -n "$target_py" ]] || set -- --python "$py" "$@"
exec "$py" "$here/bench.py" "$@"
