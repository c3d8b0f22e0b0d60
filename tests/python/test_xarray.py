"""talvex.xarray.correct: TALVEX-V1's values with and without Dask, the
coordinates, attributes and CRS kept, the GeoTIFF-to-COG recipe, errors."""

import dataclasses

import dask
import dask.array
import numpy as np
import pytest
import rioxarray
import xarray as xr
from rasterio.transform import from_origin

import talvex
import talvex.xarray
from conftest import (
    EXAMPLE_PARAMETERS,
    TOA_ONLY_PARAMETERS,
    assert_same_bits,
    every_dn_scene,
    run_talvex_v1,
    write_parameters,
)

LINES, SAMPLES = 96, 160
CRS = "EPSG:32643"
TRANSFORM = from_origin(500000.0, 1500000.0, 23.5, 23.5)


@pytest.fixture(scope="module")
def golden(talvex_v1, tmp_path_factory):
    folder = tmp_path_factory.mktemp("xarray")
    dn = every_dn_scene(seed=5)[:, :LINES, :SAMPLES].copy()
    dn[:, :4, :] = 0  # a border without data
    toa, surface = run_talvex_v1(talvex_v1, folder, dn, EXAMPLE_PARAMETERS)
    params = talvex.read_parameters(write_parameters(folder, EXAMPLE_PARAMETERS))
    return dn, dataclasses.replace(params, line_count=LINES, sample_count=SAMPLES), toa, surface


def scene(dn):
    da = xr.DataArray(
        dn,
        dims=("band", "y", "x"),
        coords={
            "band": [2, 3, 4, 5],
            "y": 1500000.0 - 23.5 * (np.arange(LINES) + 0.5),
            "x": 500000.0 + 23.5 * (np.arange(SAMPLES) + 0.5),
        },
        attrs={"_FillValue": 0, "scale_factor": 1.0, "add_offset": 0.0, "AREA_OR_POINT": "Area"},
        name="dn",
    )
    da.x.attrs["units"] = "metre"
    return da.rio.write_crs(CRS)


def test_in_memory_scene(golden):
    dn, params, toa, surface = golden
    da = scene(dn)
    ds = talvex.xarray.correct(da, params)
    assert set(ds.data_vars) == {"toa_reflectance", "surface_reflectance"}
    assert_same_bits(ds.toa_reflectance.values, toa)
    assert_same_bits(ds.surface_reflectance.values, surface)
    result = ds.surface_reflectance
    assert result.dims == da.dims
    for name in ("band", "y", "x"):
        assert np.array_equal(result[name], da[name])
    assert result.attrs["AREA_OR_POINT"] == "Area" and result.attrs["_FillValue"] == 0
    assert "scale_factor" not in result.attrs and result.attrs["long_name"] == "surface reflectance"
    assert ds.rio.crs == da.rio.crs and result.rio.crs == da.rio.crs
    assert ds.spatial_ref.attrs == da.spatial_ref.attrs
    assert ds.x.attrs == {"units": "metre"}
    assert ds.attrs["talvex_aerosol_optical_depth"] == np.float32(0.25)


@pytest.mark.parametrize(
    "chunks",
    [{"y": 40, "x": 64}, {"band": 1, "y": 32, "x": 50}, {"y": -1, "x": 33}],
    ids=["spatial chunks", "one band per chunk", "column strips"],
)
def test_chunked_scene_is_lazy_and_equal(golden, chunks):
    dn, params, toa, surface = golden
    da = scene(dn).chunk(chunks)
    ds = talvex.xarray.correct(da, params)
    data = ds.surface_reflectance.data
    assert isinstance(data, dask.array.Array)
    assert data.chunks[1:] == da.chunks[1:]
    with dask.config.set(scheduler="threads"):
        computed = ds.compute()
    assert_same_bits(computed.toa_reflectance.values, toa)
    assert_same_bits(computed.surface_reflectance.values, surface)


def test_other_dimension_orders_and_names(golden):
    dn, params, toa, _ = golden
    da = xr.DataArray(np.moveaxis(dn, 0, -1), dims=("row", "col", "spectral"))
    ds = talvex.xarray.correct(da.chunk({"row": 50}), params, band_dim="spectral")
    assert ds.toa_reflectance.dims == ("row", "col", "spectral")
    assert_same_bits(ds.toa_reflectance.values, np.moveaxis(toa, 0, -1))


def test_toa_only_parameters_give_toa_only(golden, tmp_path):
    dn, _, _, _ = golden
    params = talvex.read_parameters(write_parameters(tmp_path, TOA_ONLY_PARAMETERS))
    ds = talvex.xarray.correct(scene(dn), dataclasses.replace(params, line_count=None))
    assert list(ds.data_vars) == ["toa_reflectance"]
    assert_same_bits(ds.toa_reflectance.values, talvex.toa_reflectance(dn, params))


def test_geotiff_in_chunks_to_cloud_optimised_geotiff(golden, tmp_path):
    """The README's recipe: a GeoTIFF opened with rioxarray in chunks,
    corrected, written as a georeferenced COG and read back."""
    dn, params, _, surface = golden
    source = tmp_path / "scene.tif"
    scene(dn).rio.write_transform(TRANSFORM).rio.to_raster(source)

    da = rioxarray.open_rasterio(source, chunks={"x": 64, "y": 64})
    ds = talvex.xarray.correct(da, params)
    target = tmp_path / "scene-sr.tif"
    with dask.config.set(scheduler="threads"):
        ds.surface_reflectance.rio.to_raster(target, driver="COG")

    written = rioxarray.open_rasterio(target)
    assert written.rio.crs == da.rio.crs
    assert written.rio.transform() == da.rio.transform()
    assert written.dtype == np.float32
    assert_same_bits(written.values, surface)


@pytest.mark.parametrize(
    "make, change, error, words",
    [
        (lambda dn: dn.astype(np.float32), {}, TypeError, "uint16 DNs, found dtype float32"),
        (lambda dn: dn[:3], {}, ValueError, "4 bands 2, 3, 4, 5 along 'band', found 3"),
        (lambda dn: dn.rename(band="b"), {}, ValueError, "no dimension 'band'"),
        (lambda dn: dn[:, :50], {}, ValueError, "96 lines x 160 samples.*50 x 160"),
        (lambda dn: dn, {"correction_option": 3}, ValueError, "found 3"),
        (lambda dn: dn.values, {}, TypeError, "xarray.DataArray, found ndarray"),
    ],
    ids=["dtype", "band count", "no band dimension", "scene size", "option", "not xarray"],
)
def test_errors(golden, make, change, error, words):
    dn, params, _, _ = golden
    with pytest.raises(error, match=words):
        talvex.xarray.correct(make(scene(dn)), dataclasses.replace(params, **change))
