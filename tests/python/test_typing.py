"""A type checker on the package and on calls as users write them: plain
floats, lists, mappings by band, arrays and decimals are accepted, and a
wrong type is still caught."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

import talvex

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed"
)

CALLS = """
import decimal

import numpy as np
import xarray as xr

import talvex
import talvex.xarray

params = talvex.Parameters(
    solar_zenith_deg=38.6, lmin=[0.0, 0.0, 0.0, 0.0], lmax=(52.5, 40.8, 33.6, 7.2),
    day_of_year=45, solar_azimuth_deg=142, view_zenith_deg=12.5, view_azimuth_deg=101,
    correction_option=1, elevation_metres=55, aerosol_optical_depth="0.25",
    water_vapour_column=decimal.Decimal("2.9"), ozone_column=np.float32(0.27),
)
by_band = talvex.Parameters(
    lmin={2: 0, 3: 0, 4: 0, 5: 0}, lmax=np.array([52.5, 40.8, 33.6, 7.2]),
    day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
    view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=0,
)
from_file = talvex.read_parameters("params.txt")
dn = np.zeros((4, 2, 2), np.uint16)
toa: np.ndarray = talvex.toa_reflectance(dn, params)
surface = talvex.surface_reflectance(dn, params, elevation_metres=np.zeros((2, 2)))
terms = talvex.band_terms(params)
ds: xr.Dataset = talvex.xarray.correct(xr.DataArray(dn, dims=("band", "y", "x")), params)
talvex.xarray.to_raster(ds.toa_reflectance, "toa.tif", driver="COG")
version: str = talvex.__version__
error = talvex.ParameterError("bad", field="ozone_column", line=15)
"""


def mypy(tmp_path, source):
    script = tmp_path / "calls.py"
    script.write_text(source)
    package_root = pathlib.Path(talvex.__file__).parents[1]
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--no-incremental",
            "--cache-dir",
            os.devnull,
            "--no-error-summary",
            "--follow-imports=normal",
            str(script),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env={**os.environ, "MYPYPATH": str(package_root)},
    )


def test_the_package_and_its_callers_type_check(tmp_path):
    # One run (mypy reads numpy and xarray each time): the calls above pass,
    # and the one wrong type after them is the only error.
    wrong = "talvex.toa_reflectance(dn, {'day_of_year': 45})\n"
    done = mypy(tmp_path, CALLS + wrong)
    errors = done.stdout.strip().splitlines()
    assert len(errors) == 1 and "toa_reflectance" in errors[0], done.stdout + done.stderr
