"""Fixtures of talvex-geo's tests: georeferenced DN scenes made with GDAL at
test time, the real talvex-geo, and TALVEX-V1's outputs on the same DNs."""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest
from osgeo import gdal, osr

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from golden_runs import (  # noqa: E402,F401  (re-exported to the tests)
    EXAMPLE_PARAMETERS,
    REPO,
    assert_same_bits,
    run_talvex_v1,
    talvex_v1,
    with_size,
    write_parameters,
)

gdal.UseExceptions()

# A UTM grid of 30 m pixels somewhere in zone 43 north.
UTM_EPSG = 32643
ORIGIN = (412_345.0, 1_512_015.0)
PIXEL_METRES = 30.0
GEOTRANSFORM = (ORIGIN[0], PIXEL_METRES, 0.0, ORIGIN[1], 0.0, -PIXEL_METRES)

TOA_SUFFIX = "-TOA-Ref-bands-2345"
SURFACE_SUFFIX = "-Atm-Corr-Ref-bands-2345"


@pytest.fixture(scope="session")
def talvex_geo() -> pathlib.Path:
    path = pathlib.Path(os.environ.get("TALVEX_GEO") or REPO / "build" / "bin" / "talvex-geo")
    if not path.is_file():
        pytest.fail(f"talvex-geo not found at {path}: build it, or set TALVEX_GEO to its path")
    return path


def dn_scene(lines: int, samples: int, seed: int = 3, zeros: bool = True) -> np.ndarray:
    """A (4, lines, samples) uint16 scene of varied DNs over the whole range,
    with a no-data border and scattered DN 0 in single bands."""
    rng = np.random.default_rng(seed)
    dn = rng.integers(1, 65536, size=(4, lines, samples), dtype=np.uint16)
    dn[:, :, : samples // 3] = rng.integers(1, 4096, size=(4, lines, samples // 3), dtype=np.uint16)
    if zeros:
        dn[:, :3, :] = 0  # a border without data
        dn[rng.integers(0, 4, 50), rng.integers(0, lines, 50), rng.integers(0, samples, 50)] = 0
    return dn


def utm() -> osr.SpatialReference:
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(UTM_EPSG)
    return srs


def write_raster(
    path,
    bands: np.ndarray,
    driver: str = "GTiff",
    options=(),
    geotransform=GEOTRANSFORM,
    srs=None,
    nodata=None,
    dtype=gdal.GDT_UInt16,
):
    """A raster of the (bands, lines, samples) array, on the UTM grid unless told otherwise."""
    count, lines, samples = bands.shape
    ds = gdal.GetDriverByName(driver).Create(str(path), samples, lines, count, dtype, list(options))
    if geotransform is not None:
        ds.SetGeoTransform(geotransform)
        ds.SetSpatialRef(srs or utm())
    for i in range(count):
        band = ds.GetRasterBand(i + 1)
        if nodata is not None:
            band.SetNoDataValue(nodata)
        band.WriteArray(bands[i])
    ds = None
    return pathlib.Path(path)


def single_band_files(folder: pathlib.Path, dn: np.ndarray, **kwargs):
    return [
        write_raster(folder / f"band{b}.tif", dn[i : i + 1], **kwargs)
        for i, b in enumerate((2, 3, 4, 5))
    ]


def run_geo(talvex_geo, *args, check=True, **kwargs):
    """talvex-geo on the arguments; with check, a complete run is asserted."""
    done = subprocess.run(
        [str(talvex_geo), *map(str, args)], capture_output=True, text=True, **kwargs
    )
    if check:
        assert done.returncode == 0, done.stderr
    return done


def read_raster(path) -> np.ndarray:
    ds = gdal.Open(str(path))
    return ds.ReadAsArray()


def read_mask(path) -> np.ndarray:
    ds = gdal.Open(str(path))
    return ds.GetRasterBand(1).GetMaskBand().ReadAsArray()


def gdalinfo(path) -> dict:
    done = subprocess.run(
        ["gdalinfo", "-json", "-mdd", "all", str(path)], capture_output=True, text=True, check=True
    )
    return json.loads(done.stdout)


def leftovers(folder: pathlib.Path):
    """Temporaries of a run, which no finished run may leave."""
    return sorted(p.name for p in folder.iterdir() if ".tmp-talvex-" in p.name)


def final_outputs(folder: pathlib.Path):
    """Files under final output names."""
    return sorted(
        p.name
        for p in folder.iterdir()
        if "-Ref-bands-2345" in p.name and ".tmp-talvex-" not in p.name
    )
