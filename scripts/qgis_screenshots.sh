#!/usr/bin/env bash
# Screenshots of the QGIS plugin for the guide, made in a real QGIS under
# Xvfb: the surface reflectance dialog on the example scene, and its result
# on the map. Writes docs/images/qgis-dialog.png and docs/images/qgis-result.png.
#   scripts/qgis_screenshots.sh [BUILD_FOLDER]   (default: build)
set -euo pipefail
source "$(dirname "$0")/common.sh"

build="${1:-$TALVEX_BUILD}"
plugins="$build/qgis/plugins"
images="$TALVEX_ROOT/docs/images"
[ -d "$plugins/talvex_processing" ] || { echo "No plugin in $plugins: build the project first" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "Xvfb is not installed (Debian: xvfb)" >&2; exit 1; }
command -v qgis >/dev/null || { echo "QGIS is not installed (Debian: qgis)" >&2; exit 1; }

work="$(mktemp -d)"
xvfb_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own: the first free number from 99 up.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  sleep 0.1
done

# A fresh QGIS profile with the plugin enabled and no first-run windows.
profile="$work/profiles/default"
mkdir -p "$profile/QGIS"
cat >"$profile/QGIS/QGIS3.ini" <<'INI'
[PythonPlugins]
talvex_processing=true
processing=true

[qgis]
showTips=false
checkVersion=false
allowVersionCheck=false
INI

mkdir -p "$images"
DISPLAY=":$display" HOME="$work" QGIS_PLUGINPATH="$plugins" \
  TALVEX_EXAMPLES="$build/examples" TALVEX_SCREENSHOTS="$images" \
  timeout 300 qgis --noversioncheck --nologo --profiles-path "$work" \
  --code "$TALVEX_ROOT/qgis/screenshots.py" >"$work/qgis.log" 2>&1 \
  || { tail -n 40 "$work/qgis.log" >&2; echo "QGIS failed; no screenshots" >&2; exit 1; }
for picture in qgis-dialog.png qgis-result.png; do
  [ -s "$images/$picture" ] || { tail -n 40 "$work/qgis.log" >&2; echo "$picture was not made" >&2; exit 1; }
  echo "Wrote $images/$picture"
done
