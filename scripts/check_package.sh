#!/usr/bin/env bash
# Builds the .tar.gz and .deb packages of a built tree, installs each into a
# clean folder, and runs the installed TALVEX-V1 on the example scene: its
# outputs must equal those of the build tree's program, byte for byte. As
# root, it also presses Run in the .deb's launcher as the user nobody.
#
# Usage: scripts/check_package.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G "TGZ;DEB" > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
tarball=$(ls "$build"/talvex-*.tar.gz)
deb=$(ls "$build"/talvex_*.deb)

mkdir -p "$work/tgz" "$work/deb" "$work/out"
tar -xzf "$tarball" -C "$work/tgz" --strip-components=1
dpkg-deb -x "$deb" "$work/deb"

# Runs one TALVEX-V1 on the example scene with the given base name.
run_example() {
  { printf '%s\n%s\n' "$build/examples/example-scene.dn" "$2"
    cat "$root/examples/example-parameters.txt"; } | "$1" > /dev/null
}

run_example "$build/bin/TALVEX-V1" "$work/out/reference"
status=0
for installed in "$work/tgz" "$work/deb/usr"; do
  for file in bin/TALVEX-V1 bin/talvex "bin/front page of sw.jpg" bin/TALVEX.pdf \
              share/applications/talvex.desktop share/man/man1/TALVEX-V1.1; do
    [ -e "$installed/$file" ] || { echo "missing in the package: $file"; status=1; }
  done
  if [ -x "$build/bin/talvex-geo" ]; then
    "$installed/bin/talvex-geo" --version > /dev/null \
      || { echo "the packaged talvex-geo does not run"; status=1; }
  fi
  name=$(basename "$(dirname "$installed")")-$(basename "$installed")
  run_example "$installed/bin/TALVEX-V1" "$work/out/$name"
  for suffix in -TOA-Ref-bands-2345 -TOA-Ref-bands-2345.hdr \
                -Atm-Corr-Ref-bands-2345 -Atm-Corr-Ref-bands-2345.hdr; do
    cmp "$work/out/reference$suffix" "$work/out/$name$suffix" || status=1
  done
done
# The .deb's launcher, run by a user who cannot write its folder (root only):
# Run must put its files in that user's state folder and start the
# processor from there. A driver beside the launcher presses the buttons.
driver="$build/tests/launcher/launcher_installed_driver"
if [ "$(id -u)" -eq 0 ] && [ -x "$driver" ] && id nobody > /dev/null 2>&1; then
  chmod 755 "$work"
  cp "$driver" "$work/deb/usr/bin/talvex-driver"
  user="$work/user"
  mkdir -p "$user/home" "$user/out"
  cp "$build/examples/example-scene.dn" "$root/examples/example-parameters.txt" "$user/"
  chown -R nobody:nogroup "$user"
  env -i PATH=/usr/bin:/bin HOME="$user/home" QT_QPA_PLATFORM=offscreen \
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$work/deb/usr/bin/talvex-driver" \
    "$user/example-scene.dn" "$user/example-parameters.txt" "$user/out/example" > "$work/driver.log" 2>&1 \
    || { echo "the .deb's launcher could not run for a normal user:"; cat "$work/driver.log"; status=1; }
  [ -s "$user/home/.local/state/talvex/logcom.txt" ] && [ ! -e "$work/deb/usr/bin/logcom.txt" ] \
    || { echo "the .deb's launcher did not write its run files to ~/.local/state/talvex"; status=1; }
  for _ in $(seq 100); do
    [ -e "$user/out/example-Atm-Corr-Ref-bands-2345.hdr" ] && break
    sleep 0.1
  done
  cmp "$work/out/reference-Atm-Corr-Ref-bands-2345" "$user/out/example-Atm-Corr-Ref-bands-2345" \
    || { echo "the .deb's launcher did not run the example for a normal user"; status=1; }
fi
[ "$status" -eq 0 ] && echo "Packages $(basename "$tarball") and $(basename "$deb"): installed TALVEX-V1 runs the example."
exit "$status"
