"""One result whichever route: a scene corrected through talvex.xarray and
written with talvex.xarray.to_raster is talvex-geo's file for the same scene
(values, mask, band descriptions, metadata)."""

import os
import pathlib
import subprocess

import numpy as np
import pytest
import rasterio
import rioxarray
from rasterio.transform import from_origin

import talvex
import talvex.xarray
from conftest import EXAMPLE_PARAMETERS, assert_same_bits, write_parameters
from golden_runs import with_size

LINES, SAMPLES = 70, 90
NODATA = 65535


@pytest.fixture(scope="module")
def talvex_geo():
    path = os.environ.get("TALVEX_GEO")
    if not path or not pathlib.Path(path).is_file():
        pytest.skip("talvex-geo is not built")
    return path


def geotiff(folder: pathlib.Path) -> pathlib.Path:
    """Four bands with no-data 65535, DN 0 in single bands and a valid
    border of the whole DN range."""
    rng = np.random.default_rng(18)
    dn = rng.integers(1, 4096, (4, LINES, SAMPLES), dtype=np.uint16)
    dn[:, :2, :] = 0
    dn[1, 10, 10:20] = 0
    dn[3, 20, 30:35] = NODATA
    path = folder / "scene.tif"
    profile = dict(
        driver="GTiff",
        width=SAMPLES,
        height=LINES,
        count=4,
        dtype="uint16",
        nodata=NODATA,
        crs="EPSG:32643",
        transform=from_origin(412345.0, 1512015.0, 30.0, 30.0),
    )
    with rasterio.open(path, "w", **profile) as target:
        target.write(dn)
    return path


def without_units(tags):
    return {key: value for key, value in tags.items() if not key.endswith("_unit")}


def read(path):
    with rasterio.open(path) as source:
        return (
            source.read(),
            source.dataset_mask(),
            source.descriptions,
            {k: v for k, v in source.tags().items() if k.startswith("talvex_")},
            [source.tags(b) for b in source.indexes],
            source.crs,
            source.transform,
        )


@pytest.mark.parametrize("driver", ["GTiff", "COG"])
def test_python_route_writes_talvex_geos_file(tmp_path, talvex_geo, driver):
    source = geotiff(tmp_path)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    done = subprocess.run(
        [talvex_geo, "-q", "-of", driver, parameters, source, tmp_path / "geo"],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr

    dn = rioxarray.open_rasterio(source, chunks={"x": 40}).assign_coords(band=[2, 3, 4, 5])
    ds = talvex.xarray.correct(dn, talvex.read_parameters(parameters))
    python_file = tmp_path / "python.tif"
    talvex.xarray.to_raster(ds.surface_reflectance, python_file, driver=driver)

    geo = read(tmp_path / "geo-Atm-Corr-Ref-bands-2345.tif")
    ours = read(python_file)
    values, mask = ours[0], ours[1]
    assert np.array_equal(mask, geo[1])
    assert (mask == 0).sum() == 2 * SAMPLES + 10 + 5  # border, DN 0 in one band, no-data in one
    assert_same_bits(values[:, mask != 0], geo[0][:, mask != 0])
    assert (
        ours[2]
        == geo[2]
        == (
            "Band 2 (green)",
            "Band 3 (red)",
            "Band 4 (near infrared)",
            "Band 5 (short-wave infrared)",
        )
    )
    # The values of the run parameters are the same. Their units are the
    # processor library's (talvex-geo still spells some of them its own way).
    assert without_units(ours[3]) == without_units(geo[3])
    for field in talvex.PARAMETER_FIELDS:
        if field["unit"]:
            assert ours[3][field["metadata_key"] + "_unit"] == field["unit"]
    assert ours[4] == geo[4]
    assert ours[5] == geo[5] and ours[6] == geo[6]
