# Shared by the scripts: install what is missing, configure and build.
# Sourced, not run.

TALVEX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TALVEX_BUILD="${TALVEX_BUILD:-$TALVEX_ROOT/build}"

# Debian packages the build and the tests need.
TALVEX_PACKAGES=(
  cmake g++ make pkg-config
  libgtest-dev
  qt6-base-dev qt6-pdf-dev libgl-dev fonts-liberation
  gdal-bin libgdal-dev python3-gdal zlib1g-dev
  dpkg-dev file
  strace
  python3-dev pybind11-dev python3-numpy python3-pytest mypy
  python3-xarray python3-dask python3-distributed python3-rioxarray
  qgis python3-qgis xvfb
  slurm-wlm munge
)

# The one interpreter that builds, tests and runs the Python package:
# Debian's, which sees the packages above (a pyenv python3 first on PATH
# does not).
TALVEX_PYTHON=/usr/bin/python3

# Installs the named Debian packages that are not installed yet.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
      || missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Configures and builds a Release tree in $TALVEX_BUILD.
build_release() {
  cmake -S "$TALVEX_ROOT" -B "$TALVEX_BUILD" -DCMAKE_BUILD_TYPE=Release \
    -DPython3_EXECUTABLE="$TALVEX_PYTHON" "$@" >/dev/null
  cmake --build "$TALVEX_BUILD" -j "$(nproc)"
}
