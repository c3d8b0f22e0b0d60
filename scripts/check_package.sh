#!/usr/bin/env bash
# Builds the .tar.gz and .deb packages of a built tree, checks the .deb's
# file list (only programs in /usr/bin; the help document and the front-page
# picture in /usr/share/talvex; both man pages), installs each package into a
# clean folder, and runs the installed TALVEX-V1 on the example scene: its
# outputs must equal those of the build tree's program, byte for byte. As
# root, it also presses Run in the .deb's launcher as the user nobody and as
# root: the run files must go to that user's state folder, never into the
# package's folders.
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

# The .deb's own file list: /usr/bin holds executable files and nothing
# else, and the two files the launcher shows are in /usr/share/talvex.
dpkg-deb -c "$deb" > "$work/deb.list"
bin_entries=$(awk '$6 ~ /^\.\/usr\/bin\/./' "$work/deb.list")
if [ -z "$bin_entries" ]; then
  echo "the .deb installs no program in /usr/bin"; status=1
fi
while read -r mode _ _ _ _ path; do
  case "$mode" in
    -rwx*) ;;
    *) echo "not a program, but in the .deb's /usr/bin: $path ($mode)"; status=1 ;;
  esac
done <<< "$bin_entries"
for file in "./usr/share/talvex/TALVEX.pdf" "./usr/share/talvex/front page of sw.jpg"; do
  grep -qF -- " $file" "$work/deb.list" || { echo "missing in the .deb: $file"; status=1; }
done
if dpkg-deb -e "$deb" "$work/control" && ls "$work/control" | grep -qvE '^(control|md5sums|shlibs|triggers)$'; then
  echo "the .deb has maintainer scripts, which could leave files behind: $(ls "$work/control")"; status=1
fi

for installed in "$work/tgz" "$work/deb/usr"; do
  for file in bin/TALVEX-V1 bin/talvex "share/talvex/front page of sw.jpg" share/talvex/TALVEX.pdf \
              share/applications/talvex.desktop share/man/man1/TALVEX-V1.1 share/man/man1/talvex.1; do
    [ -e "$installed/$file" ] || { echo "missing in the package: $file"; status=1; }
  done
  for file in "bin/front page of sw.jpg" bin/TALVEX.pdf; do
    [ ! -e "$installed/$file" ] || { echo "not a program, but in bin/: $file"; status=1; }
  done
  "$installed/bin/talvex" --version > /dev/null 2>&1 \
    || { echo "the packaged talvex does not answer --version"; status=1; }
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
# The .deb's launcher, run by a user who cannot write its folder and by root
# who could (root only): Run must put its files in that user's state folder
# and start the processor from there, and leave the package's folders as
# they were. A driver beside the launcher presses the buttons.
driver="$build/tests/launcher/launcher_installed_driver"
if [ "$(id -u)" -eq 0 ] && [ -x "$driver" ] && id nobody > /dev/null 2>&1; then
  chmod 755 "$work"
  cp "$driver" "$work/deb/usr/bin/talvex-driver"
  user="$work/user"
  mkdir -p "$user/home" "$user/root-home" "$user/out"
  cp "$build/examples/example-scene.dn" "$root/examples/example-parameters.txt" "$user/"
  chown -R nobody:nogroup "$user"
  chown root:root "$user/root-home"
  before=$(cd "$work/deb" && find . | sort)
  for who in nobody root; do
    if [ "$who" = root ]; then home="$user/root-home"; as=(); else home="$user/home"
      as=(setpriv --reuid=nobody --regid=nogroup --clear-groups); fi
    env -i PATH=/usr/bin:/bin HOME="$home" QT_QPA_PLATFORM=offscreen \
      "${as[@]}" "$work/deb/usr/bin/talvex-driver" \
      "$user/example-scene.dn" "$user/example-parameters.txt" "$user/out/example-$who" > "$work/driver.log" 2>&1 \
      || { echo "the .deb's launcher could not run for $who:"; cat "$work/driver.log"; status=1; }
    [ -s "$home/.local/state/talvex/logcom.txt" ] \
      || { echo "the .deb's launcher run by $who did not write its run files to ~/.local/state/talvex"; status=1; }
    for _ in $(seq 100); do
      [ -e "$user/out/example-$who-Atm-Corr-Ref-bands-2345.hdr" ] && break
      sleep 0.1
    done
    cmp "$work/out/reference-Atm-Corr-Ref-bands-2345" "$user/out/example-$who-Atm-Corr-Ref-bands-2345" \
      || { echo "the .deb's launcher did not run the example for $who"; status=1; }
  done
  [ "$(cd "$work/deb" && find . | sort)" = "$before" ] \
    || { echo "a Run wrote into the package's folders:"; diff <(echo "$before") <(cd "$work/deb" && find . | sort); status=1; }
fi
[ "$status" -eq 0 ] && echo "Packages $(basename "$tarball") and $(basename "$deb"): installed TALVEX-V1 runs the example."
exit "$status"
