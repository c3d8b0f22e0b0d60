#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on any failure.
#   1. the Release build: unit, end-to-end, GDAL and launcher tests;
#   2. the processor's tests again under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. a bounded fuzzing run of the parameter-stream reader (FUZZ_SECONDS, default 30);
#   4. the .tar.gz and .deb packages, installed into clean folders and run;
#   5. the benchmark once at a small size, to prove that it works.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TALVEX_PACKAGES[@]}" clang libclang-rt-14-dev time

echo "== Release build and tests"
build_release
(cd "$TALVEX_BUILD" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)")

echo "== The processor's tests under AddressSanitizer and UndefinedBehaviorSanitizer"
sanitized="$TALVEX_ROOT/build-sanitize"
cmake -S "$TALVEX_ROOT" -B "$sanitized" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALVEX_SANITIZE=ON -DTALVEX_BUILD_LAUNCHER=OFF >/dev/null
cmake --build "$sanitized" -j "$(nproc)"
(cd "$sanitized" && ctest --output-on-failure -j "$(nproc)")

echo "== Fuzzing the parameter-stream reader for ${FUZZ_SECONDS:-30} s"
fuzz="$TALVEX_ROOT/build-fuzz"
CXX=clang++ cmake -S "$TALVEX_ROOT" -B "$fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALVEX_FUZZER=ON -DTALVEX_BUILD_TESTS=OFF -DTALVEX_BUILD_LAUNCHER=OFF >/dev/null
cmake --build "$fuzz" --target parameter_stream_fuzzer -j "$(nproc)"
# New inputs go to a corpus in the build tree; the seeds in tests/ stay as they are.
mkdir -p "$fuzz/corpus"
"$fuzz/bin/parameter_stream_fuzzer" -max_total_time="${FUZZ_SECONDS:-30}" -print_final_stats=1 -artifact_prefix="$fuzz/" \
  "$fuzz/corpus" "$TALVEX_ROOT/tests/fuzz/corpus" > "$fuzz/fuzz.log" 2>&1 \
  || { tail -n 60 "$fuzz/fuzz.log"; echo "The fuzzer found a failure; its input is saved in $fuzz as crash-*"; exit 1; }
grep -E '^(Done|stat::number_of_executed_units)' "$fuzz/fuzz.log"

echo "== Packages"
"$TALVEX_ROOT/scripts/check_package.sh" "$TALVEX_BUILD"

echo "== Benchmark, once at a small size"
BENCH_RUNS=1 "$TALVEX_ROOT/scripts/bench.sh" 300
