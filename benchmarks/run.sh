#!/usr/bin/env bash
# Builds the peers and zelk for one interpreter and runs the call-overhead benchmark.
#   benchmarks/run.sh [bench.py options]      e.g. --rounds 40, --python /path/to/python3.X
# Installs the Debian packages the peers and the chart need when they are missing; quick and
# silent when they are already there. BENCH_PYTHON picks the interpreter that runs bench.py
# (it benchmarks that interpreter unless --python says otherwise).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
wanted=(cmake g++ make pybind11-dev swig)
# Any gnuplot will do for the chart.
command -v gnuplot >/dev/null 2>&1 || wanted+=(gnuplot-nox)
need=()
for pkg in "${wanted[@]}"; do
  have_pkg "$pkg" || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2
  apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
fi

py="${BENCH_PYTHON:-/root/.pyenv/versions/3.6.15/bin/python3.6}"
if [[ ! -x "$py" ]]; then
  echo "no interpreter at $py; set BENCH_PYTHON" >&2
  exit 2
fi
case " $* " in
  *" --python "* | *" --python="*) exec "$py" "$here/bench.py" "$@" ;;
  *) exec "$py" "$here/bench.py" --python "$py" "$@" ;;
esac
