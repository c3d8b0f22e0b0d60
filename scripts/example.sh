#!/usr/bin/env bash
# Installs what is missing, builds, and runs a correction run of the bundled
# example scene into examples/output/.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${TALVEX_PACKAGES[@]}"
build_release

scene="$TALVEX_BUILD/examples/example-scene.dn"
output_dir="$TALVEX_ROOT/examples/output"
base="$output_dir/example"
mkdir -p "$output_dir"

# The stream: image path, output base name, then the parameter file.
{
  printf '%s\n%s\n' "$scene" "$base"
  cat "$TALVEX_ROOT/examples/example-parameters.txt"
} | "$TALVEX_BUILD/bin/TALVEX-V1"

echo
echo "The four output files:"
for suffix in -TOA-Ref-bands-2345 -TOA-Ref-bands-2345.hdr \
              -Atm-Corr-Ref-bands-2345 -Atm-Corr-Ref-bands-2345.hdr; do
  echo "  $base$suffix"
done
