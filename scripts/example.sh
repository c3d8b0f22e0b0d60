#!/usr/bin/env bash
# Installs what is missing, builds, runs a correction run of the bundled
# example scene into examples/output/, draws false-colour quick-looks
# (near infrared, red, green) of the TOA and the surface reflectance, and
# runs talvex-geo on the same scene as four georeferenced GeoTIFFs.
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

# Quick-looks with GDAL: bands 4, 3, 2 (file bands 3, 2, 1) as red, green,
# blue, the same stretch (reflectance 0 to 0.45) for both images, so that
# what the correction changes can be seen.
toa="$base-TOA-Ref-bands-2345"
surface="$base-Atm-Corr-Ref-bands-2345"
stretch_max=0.45
for image in "$toa" "$surface"; do
  gdal_translate -q -of PNG -ot Byte -b 3 -b 2 -b 1 -scale 0 "$stretch_max" 0 255 \
    "$image" "$image-quicklook.png"
done
rm -f "$output_dir"/*.aux.xml

samples=$(awk '$1 == "samples" { print $3 }' "$toa.hdr")
lines=$(awk '$1 == "lines" { print $3 }' "$toa.hdr")
gap=12
ratio=$(awk -v m="$stretch_max" 'BEGIN { print 255 / m }')
side_by_side="$base-TOA-and-surface-quicklook.png"
{
  echo "<VRTDataset rasterXSize=\"$((2 * samples + gap))\" rasterYSize=\"$lines\">"
  colour=1
  for file_band in 3 2 1; do
    echo "  <VRTRasterBand dataType=\"Byte\" band=\"$colour\">"
    offset=0
    for image in "$toa" "$surface"; do
      cat <<XML
    <ComplexSource>
      <SourceFilename relativeToVRT="1">$(basename "$image")</SourceFilename>
      <SourceBand>$file_band</SourceBand>
      <ScaleOffset>0</ScaleOffset><ScaleRatio>$ratio</ScaleRatio>
      <SrcRect xOff="0" yOff="0" xSize="$samples" ySize="$lines"/>
      <DstRect xOff="$offset" yOff="0" xSize="$samples" ySize="$lines"/>
    </ComplexSource>
XML
      offset=$((samples + gap))
    done
    echo "  </VRTRasterBand>"
    colour=$((colour + 1))
  done
  echo "</VRTDataset>"
} > "$base-side-by-side.vrt"
gdal_translate -q -of PNG "$base-side-by-side.vrt" "$side_by_side"
rm -f "$base-side-by-side.vrt" "$output_dir"/*.aux.xml

# The same scene through the Python package, with the interpreter it is built for.
if [ -d "$TALVEX_BUILD/python/talvex" ]; then
  PYTHONPATH="$TALVEX_BUILD/python" "$TALVEX_PYTHON" - "$scene" \
      "$TALVEX_ROOT/examples/example-parameters.txt" "$surface" <<'PYTHON'
import sys
import numpy as np
import talvex

scene, parameter_file, surface_file = sys.argv[1:]
params = talvex.read_parameters(parameter_file)
dn = np.fromfile(scene, dtype="<u2").reshape(4, params.line_count, params.sample_count)
surface = talvex.surface_reflectance(dn, params)
written = np.fromfile(surface_file, dtype="<f4").reshape(surface.shape)
same = np.array_equal(surface.view(np.uint32), written.view(np.uint32))
print("Python: talvex.surface_reflectance of the scene",
      "equals TALVEX-V1's output bit for bit" if same else "DIFFERS from TALVEX-V1's output")
sys.exit(0 if same else 1)
PYTHON
fi

# The same scene georeferenced (UTM zone 43 north, one GeoTIFF per band),
# through talvex-geo: georeferenced GeoTIFF outputs with a no-data mask.
geo_base="$output_dir/example-geo"
"$TALVEX_BUILD/bin/talvex-geo" -q "$TALVEX_ROOT/examples/example-parameters.txt" \
  "$TALVEX_BUILD"/examples/example-band{2,3,4,5}.tif "$geo_base"
echo
echo "gdalinfo of talvex-geo's surface reflectance:"
gdalinfo "$geo_base-Atm-Corr-Ref-bands-2345.tif"

# The same run over a synthetic terrain (an elevation map in EPSG:4326,
# reprojected by talvex-geo onto the scene's grid), and a picture: the flat
# scene, the scene over the terrain, and how much band 2 changes.
terrain_dem="$output_dir/example-terrain-dem.tif"
terrain_base="$output_dir/example-terrain"
terrain_picture="$output_dir/example-flat-terrain-difference.png"
"$TALVEX_PYTHON" "$TALVEX_ROOT/examples/synthetic_terrain.py" dem "$TALVEX_BUILD/examples/example-band2.tif" \
  "$terrain_dem"
"$TALVEX_BUILD/bin/talvex-geo" -q -elevation "$terrain_dem" "$TALVEX_ROOT/examples/example-parameters.txt" \
  "$TALVEX_BUILD"/examples/example-band{2,3,4,5}.tif "$terrain_base"
"$TALVEX_PYTHON" "$TALVEX_ROOT/examples/synthetic_terrain.py" picture "$geo_base-Atm-Corr-Ref-bands-2345.tif" \
  "$terrain_base-Atm-Corr-Ref-bands-2345.tif" "$terrain_picture"
rm -f "$output_dir"/*.aux.xml

echo
echo "The four output files:"
for suffix in -TOA-Ref-bands-2345 -TOA-Ref-bands-2345.hdr \
              -Atm-Corr-Ref-bands-2345 -Atm-Corr-Ref-bands-2345.hdr; do
  echo "  $base$suffix"
done
echo "Quick-looks (near infrared, red, green as red, green, blue):"
echo "  $toa-quicklook.png"
echo "  $surface-quicklook.png"
echo "  $side_by_side   (left: TOA, right: surface reflectance)"
echo "talvex-geo's georeferenced outputs (UTM zone 43 north, with a no-data mask):"
echo "  $geo_base-TOA-Ref-bands-2345.tif"
echo "  $geo_base-Atm-Corr-Ref-bands-2345.tif"
echo "Over a synthetic terrain (150 to 2400 m, EPSG:4326 elevation map):"
echo "  $terrain_base-Atm-Corr-Ref-bands-2345.tif"
echo "  $terrain_picture   (flat, terrain, |band 2 change| up to 0.02)"
echo
echo "Next: 'Your own scene' in README.md runs the same on an image of your own."
