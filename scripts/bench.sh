#!/usr/bin/env bash
# Benchmark of a correction run against the bare I/O of the same bytes and
# against a per-pixel stdio baseline, side by side, several times in turn;
# then of talvex-geo against GDAL's own gdal_translate -ot Float32 writing
# the same two outputs from the same GeoTIFF with the same creation options,
# as tiled GeoTIFF and as COG with DEFLATE, both on all cores.
#
# Last, talvex-geo on inputs of every block layout (one compressed strip per
# band, 2048-pixel tiles, a COG), each against two gdal_translate runs with
# the same output options (tiled GeoTIFF; 1024-pixel DEFLATE tiles).
#
# Usage: scripts/bench.sh [SIZE ...]   (square scenes; default: 1000 6000)
# Environment: BENCH_RUNS (default 5), BENCH_DIR (default a temporary folder),
#              BENCH_GEO=0 to leave talvex-geo out, BENCH_MAPS=0 its run with maps,
#              BENCH_LAYOUT_SIZE (default 8000; 0 leaves the input layouts out).
set -euo pipefail
source "$(dirname "$0")/common.sh"

sizes=("$@")
[ "${#sizes[@]}" -gt 0 ] || sizes=(1000 6000)
runs="${BENCH_RUNS:-5}"

ensure_packages "${TALVEX_PACKAGES[@]}" time
build_release >/dev/null

work="${BENCH_DIR:-$(mktemp -d)}"
mkdir -p "$work"
trap '[ -n "${BENCH_DIR:-}" ] || rm -rf "$work"' EXIT

flags=(-std=c++20 -O2 -ffp-contract=off -Wall -Wextra -I"$TALVEX_ROOT/processor")
g++ "${flags[@]}" "$TALVEX_ROOT/scripts/bench/make_scene.cpp" -o "$work/make_scene"
g++ "${flags[@]}" "$TALVEX_ROOT/scripts/bench/per_pixel_baseline.cpp" \
    "$TALVEX_BUILD/processor/libtalvex_processor.a" -o "$work/per_pixel_baseline"

# Runs a command, appends "seconds peak_kib" to the named file. Its messages
# (talvex-geo's warnings of the synthetic scenes' DNs above 4095) are shown
# only when it fails.
timed() {
  local record="$1"; shift
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$work/memory.txt" "$@" >/dev/null 2>"$work/messages.txt" \
    || { cat "$work/messages.txt" >&2; return 1; }
  end=$(date +%s%N)
  awk -v ns=$((end - start)) -v kib="$(cat "$work/memory.txt")" \
    'BEGIN { printf "%.3f %d\n", ns / 1e9, kib }' >> "$record"
}

median() {  # column N of a file
  sort -n -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

# A synthetic DN scene of SIZE x SIZE pixels at PATH.dn with its ENVI
# header, the georeference that puts it on UTM 43N with 30 m pixels (in the
# array `georeference`), and the example's parameter file for its size.
make_georeferenced_scene() {  # SIZE PATH
  "$work/make_scene" "$1" "$1" "$2.dn"
  printf 'ENVI\nsamples = %d\nlines = %d\nbands = 4\nheader offset = 0\nfile type = ENVI Standard\ndata type = 12\ninterleave = bsq\nbyte order = 0\n' \
    "$1" "$1" > "$2.hdr"
  georeference=(-a_srs EPSG:32643 -a_ullr 500000 1500000 $((500000 + 30 * $1)) $((1500000 - 30 * $1)))
  sed "1s/.*/$1 $1/" "$TALVEX_ROOT/examples/example-parameters.txt" > "$work/parameters.txt"
}

# The same scene as a tiled GeoTIFF, $work/scene-SIZE.tif.
make_scene_geotiff() {  # SIZE
  make_georeferenced_scene "$1" "$work/scene-$1"
  gdal_translate -q -co TILED=YES -co BIGTIFF=IF_SAFER "${georeference[@]}" \
    "$work/scene-$1.dn" "$work/scene-$1.tif"
  rm -f "$work/scene-$1.dn" "$work/scene-$1.hdr"
}

# The bare I/O of a correction run: read the DN image twice, write two
# images of twice its size.
# Large blocks, so that the floor is not raised by small writes.
bare_io='cat "$1" > /dev/null; cat "$1" > /dev/null
  dd if=/dev/zero of="$3-a" bs=4M count=$(($2 / 4194304)) status=none
  dd if=/dev/zero of="$3-b" bs=4M count=$(($2 / 4194304)) status=none
  head -c $(($2 % 4194304)) /dev/zero >> "$3-a"; head -c $(($2 % 4194304)) /dev/zero >> "$3-b"'

printf '%-11s %-10s %9s %9s %12s %9s\n' scene program seconds "MP/s/pass" "peak memory" ratio
for size in "${sizes[@]}"; do
  scene="$work/scene-$size.dn"
  "$work/make_scene" "$size" "$size" "$scene"
  dn_bytes=$(stat -c %s "$scene")
  {
    printf '%s\n%s\n' "$scene" "$work/out"
    sed "1s/.*/$size $size/" "$TALVEX_ROOT/examples/example-parameters.txt"
  } > "$work/stream.txt"
  rm -f "$work"/{bare,talvex,baseline}.txt
  for ((i = 0; i < runs; i++)); do
    rm -f "$work"/out-* "$work"/bare-*
    timed "$work/bare.txt" sh -c "$bare_io" _ "$scene" $((2 * dn_bytes)) "$work/bare"
    rm -f "$work"/out-* "$work"/bare-*
    timed "$work/talvex.txt" sh -c '"$1" < "$2"' _ "$TALVEX_BUILD/bin/TALVEX-V1" "$work/stream.txt"
    mv "$work/out-Atm-Corr-Ref-bands-2345" "$work/talvex-surface"
    mv "$work/out-TOA-Ref-bands-2345" "$work/talvex-toa"
    rm -f "$work"/out-*
    timed "$work/baseline.txt" sh -c '"$1" < "$2"' _ "$work/per_pixel_baseline" "$work/stream.txt"
    cmp -s "$work/talvex-toa" "$work/out-TOA-Ref-bands-2345" \
      && cmp -s "$work/talvex-surface" "$work/out-Atm-Corr-Ref-bands-2345" \
      || { echo "outputs differ from the per-pixel baseline" >&2; exit 1; }
  done
  megapixels=$(awk -v b="$dn_bytes" 'BEGIN { print b / 2 / 1e6 }')
  bare=$(median "$work/bare.txt" 1)
  talvex=$(median "$work/talvex.txt" 1)
  baseline=$(median "$work/baseline.txt" 1)
  for name in bare talvex baseline; do
    seconds=$(median "$work/$name.txt" 1)
    memory=$(median "$work/$name.txt" 2)
    case "$name" in
      bare) label="bare I/O"; ratio="1.00" ;;
      talvex) label="TALVEX-V1"; ratio=$(awk -v a="$talvex" -v b="$bare" 'BEGIN { printf "%.2f", a / b }') ;;
      baseline) label="per-pixel"; ratio=$(awk -v a="$baseline" -v b="$bare" 'BEGIN { printf "%.2f", a / b }') ;;
    esac
    # Each pass converts every pixel once, and a correction run makes two.
    rate=$(awk -v m="$megapixels" -v s="$seconds" 'BEGIN { printf "%.0f", (s > 0 ? 2 * m / s : 0) }')
    printf '%-11s %-10s %9s %9s %9s KiB %9s\n' "${size}x${size}" "$label" "$seconds" "$rate" "$memory" "$ratio"
  done
  awk -v t="$talvex" -v b="$bare" -v p="$baseline" 'BEGIN {
    printf "%-11s TALVEX-V1 / bare I/O = %.2f, per-pixel / TALVEX-V1 = %.1f\n", "", t / b, (t > 0 ? p / t : 0) }'
done
echo "(medians of $runs runs; all outputs identical to the per-pixel baseline)"

[ "${BENCH_GEO:-1}" != 0 ] && [ -x "$TALVEX_BUILD/bin/talvex-geo" ] || exit 0

# talvex-geo against gdal_translate: the same input, outputs, options.
echo
printf '%-11s %-6s %-15s %9s %12s %9s\n' scene format program seconds "peak memory" ratio
for size in "${sizes[@]}"; do
  make_scene_geotiff "$size"
  geotiff="$work/scene-$size.tif"
  for format in GTiff COG; do
    case "$format" in
      GTiff) options=(-co TILED=YES -co BIGTIFF=IF_SAFER -co NUM_THREADS=ALL_CPUS) ;;
      COG) options=(-co COMPRESS=DEFLATE -co BIGTIFF=IF_SAFER -co NUM_THREADS=ALL_CPUS) ;;
    esac
    rm -f "$work"/geo.txt "$work"/translate.txt
    for ((i = 0; i < runs; i++)); do
      rm -f "$work"/geo-* "$work"/translate-*
      timed "$work/geo.txt" "$TALVEX_BUILD/bin/talvex-geo" -q -of "$format" "${options[@]}" \
        "$work/parameters.txt" "$geotiff" "$work/geo"
      rm -f "$work"/geo-*
      timed "$work/translate.txt" sh -c 'format="$1"; shift; input="$1"; shift; out="$1"; shift
        gdal_translate -q -of "$format" -ot Float32 "$@" "$input" "$out-a.tif" &&
        gdal_translate -q -of "$format" -ot Float32 "$@" "$input" "$out-b.tif"' \
        _ "$format" "$geotiff" "$work/translate" "${options[@]}"
    done
    rm -f "$work"/geo-* "$work"/translate-*
    geo=$(median "$work/geo.txt" 1)
    translate=$(median "$work/translate.txt" 1)
    printf '%-11s %-6s %-15s %9s %9s KiB %9s\n' "${size}x${size}" "$format" gdal_translate "$translate" \
      "$(median "$work/translate.txt" 2)" 1.00
    printf '%-11s %-6s %-15s %9s %9s KiB %9s\n' "${size}x${size}" "$format" talvex-geo "$geo" \
      "$(median "$work/geo.txt" 2)" "$(awk -v a="$geo" -v b="$translate" 'BEGIN { printf "%.2f", a / b }')"
  done
  rm -f "$geotiff"
done
echo "(medians of $runs runs; gdal_translate -ot Float32 writes the same two outputs with the same options)"

# talvex-geo on inputs of every block layout against gdal_translate.
layout_size="${BENCH_LAYOUT_SIZE:-8000}"
if [ "$layout_size" != 0 ]; then
echo
printf '%-11s %-14s %-20s %-15s %9s %12s %9s\n' scene input output program seconds "peak memory" ratio
make_georeferenced_scene "$layout_size" "$work/layout"
scene="$work/layout.dn"
gdal_translate -q "${georeference[@]}" -of GTiff -co COMPRESS=DEFLATE -co INTERLEAVE=BAND \
  -co BLOCKYSIZE="$layout_size" -co BIGTIFF=IF_SAFER "$scene" "$work/strip.tif"
gdal_translate -q "${georeference[@]}" -of GTiff -co COMPRESS=DEFLATE -co TILED=YES \
  -co BLOCKXSIZE=2048 -co BLOCKYSIZE=2048 -co BIGTIFF=IF_SAFER "$scene" "$work/tiles2048.tif"
gdal_translate -q "${georeference[@]}" -of COG -co COMPRESS=DEFLATE -co BIGTIFF=IF_SAFER "$scene" "$work/cog.tif"
rm -f "$scene" "$work/layout.hdr"
for input in strip tiles2048 cog; do
  for output in tiled blocks1024; do
    case "$output" in
      tiled) options=(-co TILED=YES -co BIGTIFF=IF_SAFER -co NUM_THREADS=ALL_CPUS) ;;
      blocks1024) options=(-co TILED=YES -co BLOCKXSIZE=1024 -co BLOCKYSIZE=1024 -co COMPRESS=DEFLATE
                           -co BIGTIFF=IF_SAFER -co NUM_THREADS=ALL_CPUS) ;;
    esac
    rm -f "$work"/geo.txt "$work"/translate.txt
    for ((i = 0; i < runs; i++)); do
      rm -f "$work"/geo-* "$work"/translate-*
      timed "$work/geo.txt" "$TALVEX_BUILD/bin/talvex-geo" -q "${options[@]}" \
        "$work/parameters.txt" "$work/$input.tif" "$work/geo"
      rm -f "$work"/geo-*
      timed "$work/translate.txt" sh -c 'input="$1"; shift; out="$1"; shift
        gdal_translate -q -ot Float32 "$@" "$input" "$out-a.tif" &&
        gdal_translate -q -ot Float32 "$@" "$input" "$out-b.tif"' \
        _ "$work/$input.tif" "$work/translate" "${options[@]}"
    done
    rm -f "$work"/geo-* "$work"/translate-*
    geo=$(median "$work/geo.txt" 1)
    translate=$(median "$work/translate.txt" 1)
    label="${layout_size}x${layout_size}"
    printf '%-11s %-14s %-20s %-15s %9s %9s KiB %9s\n' "$label" "$input" "$output" "gdal_translate x2" \
      "$translate" "$(median "$work/translate.txt" 2)" 1.00
    printf '%-11s %-14s %-20s %-15s %9s %9s KiB %9s\n' "$label" "$input" "$output" talvex-geo "$geo" \
      "$(median "$work/geo.txt" 2)" "$(awk -v a="$geo" -v b="$translate" 'BEGIN { printf "%.2f", a / b }')"
  done
done
rm -f "$work/strip.tif" "$work/tiles2048.tif" "$work/cog.tif"
echo "(medians of $runs runs; targets: ratio at most 1.50, talvex-geo's peak memory at most 262144 KiB)"
fi

# talvex-geo with per-pixel maps against the same run with the parameter
# file's constant elevation and optical depth: an elevation map of hills
# (about 3300 distinct metres) in EPSG:4326 and an aerosol optical depth map
# (about 600 distinct thousandths) in Web Mercator, both at other
# resolutions than the scene and reprojected on the fly.
[ "${BENCH_MAPS:-1}" != 0 ] || exit 0
echo
printf '%-11s %-16s %9s %12s %9s\n' scene run seconds "peak memory" ratio
for size in "${sizes[@]}"; do
  make_scene_geotiff "$size"
  geotiff="$work/scene-$size.tif"
  "$TALVEX_PYTHON" "$TALVEX_ROOT/scripts/bench/make_maps.py" "$geotiff" "$work/dem.tif" "$work/aod.tif"
  rm -f "$work"/constant.txt "$work"/maps.txt
  for ((i = 0; i < runs; i++)); do
    rm -f "$work"/geo-*
    timed "$work/constant.txt" "$TALVEX_BUILD/bin/talvex-geo" -q "$work/parameters.txt" "$geotiff" "$work/geo"
    rm -f "$work"/geo-*
    timed "$work/maps.txt" "$TALVEX_BUILD/bin/talvex-geo" -q -elevation "$work/dem.tif" -aod "$work/aod.tif" \
      "$work/parameters.txt" "$geotiff" "$work/geo"
  done
  rm -f "$work"/geo-* "$geotiff" "$work/dem.tif" "$work/aod.tif"
  constant=$(median "$work/constant.txt" 1)
  maps=$(median "$work/maps.txt" 1)
  printf '%-11s %-16s %9s %9s KiB %9s\n' "${size}x${size}" "constant values" "$constant" \
    "$(median "$work/constant.txt" 2)" 1.00
  printf '%-11s %-16s %9s %9s KiB %9s\n' "${size}x${size}" "elevation + AOD" "$maps" \
    "$(median "$work/maps.txt" 2)" "$(awk -v a="$maps" -v b="$constant" 'BEGIN { printf "%.2f", a / b }')"
done
echo "(medians of $runs runs; tiled GeoTIFF outputs; maps warped bilinearly onto the scene's grid)"
