#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on any failure.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TALVEX_PACKAGES[@]}"
build_release
cd "$TALVEX_BUILD"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)"

# The benchmark once, at a small size, to prove that it works (not timed).
BENCH_RUNS=1 "$TALVEX_ROOT/scripts/bench.sh" 300
