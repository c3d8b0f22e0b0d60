#!/usr/bin/env bash
# Benchmark of the Python package talvex: surface_reflectance on a 4000 x
# 4000 four-band array against numpy (a per-band table applied with
# np.take, and the formulas on every pixel), with preallocated and fresh
# outputs; then talvex.xarray.correct on a Dask LocalCluster of one and two
# worker processes. Figures to compare side by side, not a test.
#
# Usage: scripts/bench_python.sh [options of scripts/bench/bench_python.py]
#   e.g. --size 4000 --dask-size 12288 --chunk 2048 --repeats 5 --skip-dask
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TALVEX_PACKAGES[@]}"
build_release >/dev/null

# Debian's interpreter, the one the package is built for (see README, Python).
PYTHONPATH="$TALVEX_BUILD/python${PYTHONPATH:+:$PYTHONPATH}" \
  "$TALVEX_PYTHON" "$TALVEX_ROOT/scripts/bench/bench_python.py" "$@"
