"""talvex.xarray.correct: TALVEX-V1's values with and without Dask, the
pixels without data masked in every band, bands matched by label, the
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
    dn[2, 10, 20] = 0  # no data in one band only
    toa, surface = run_talvex_v1(talvex_v1, folder, dn, EXAMPLE_PARAMETERS)
    params = talvex.read_parameters(write_parameters(folder, EXAMPLE_PARAMETERS))
    params = dataclasses.replace(params, line_count=LINES, sample_count=SAMPLES)
    return dn, params, masked(toa, dn), masked(surface, dn)


def masked(values, dn, also=None):
    """TALVEX-V1's values with NaN in every band where any band has DN 0
    (or ``also`` is true)."""
    missing = (dn == 0).any(axis=0)
    if also is not None:
        missing |= also
    values = values.copy()
    values[:, missing] = np.nan
    return values


def scene(dn):
    da = xr.DataArray(
        dn,
        dims=("band", "y", "x"),
        coords={
            "band": [2, 3, 4, 5],
            "y": 1500000.0 - 23.5 * (np.arange(LINES) + 0.5),
            "x": 500000.0 + 23.5 * (np.arange(SAMPLES) + 0.5),
        },
        attrs={"scale_factor": 1.0, "add_offset": 0.0, "AREA_OR_POINT": "Area"},
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
    assert result.attrs["AREA_OR_POINT"] == "Area" and np.isnan(result.attrs["_FillValue"])
    assert "scale_factor" not in result.attrs
    assert result.attrs["long_name"] == (
        "Band 2 (green)",
        "Band 3 (red)",
        "Band 4 (near infrared)",
        "Band 5 (short-wave infrared)",
    )
    assert result.attrs["talvex_product"] == "surface reflectance"
    assert result.attrs["talvex_ozone_column"] == "0.27"
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


def test_big_endian_and_byte_dns(golden):
    dn, params, toa, _ = golden
    ds = talvex.xarray.correct(scene(dn.astype(">u2")).chunk({"x": 70}), params)
    assert_same_bits(ds.toa_reflectance.values, toa)
    small = (dn % 256).astype(np.uint8)
    expected = masked(talvex.toa_reflectance(small.astype(np.uint16), params), small)
    ds = talvex.xarray.correct(scene(small), params)
    assert_same_bits(ds.toa_reflectance.values, expected)


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
    assert_same_bits(ds.toa_reflectance.values, masked(talvex.toa_reflectance(dn, params), dn))


def test_geotiff_in_chunks_to_cloud_optimised_geotiff(golden, tmp_path):
    """The README's recipe: a GeoTIFF opened with rioxarray in chunks,
    corrected, written as a georeferenced COG and read back."""
    dn, params, _, surface = golden
    source = tmp_path / "scene.tif"
    scene(dn).rio.write_transform(TRANSFORM).rio.to_raster(source)

    da = rioxarray.open_rasterio(source, chunks={"x": 64, "y": 64}).assign_coords(band=[2, 3, 4, 5])
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
        (lambda dn: dn.astype(np.int32), {}, TypeError, "uint16 or uint8 DNs.*found dtype int32"),
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


def georeferenced(tmp_path, dn, nodata=None, mask=None):
    """A four-band GeoTIFF of ``dn`` with a no-data value or an internal mask."""
    import rasterio

    path = tmp_path / "scene.tif"
    profile = dict(
        driver="GTiff",
        width=dn.shape[2],
        height=dn.shape[1],
        count=4,
        dtype="uint16",
        crs=CRS,
        transform=TRANSFORM,
        nodata=nodata,
    )
    with rasterio.Env(GDAL_TIFF_INTERNAL_MASK=True):
        with rasterio.open(path, "w", **profile) as target:
            target.write(dn)
            if mask is not None:
                target.write_mask(np.where(mask, 0, 255).astype(np.uint8))
    return path


def test_pixels_without_data_are_masked_in_every_band(golden, tmp_path):
    dn, params, toa, _ = golden
    dn = dn.copy()
    dn[1, 50, 60] = 65535  # the file's no-data value, in one band
    toa_all = talvex.toa_reflectance(dn, params)
    nodata_pixels = np.zeros(dn.shape[1:], bool)
    nodata_pixels[50, 60] = True
    expected = masked(toa_all, dn, nodata_pixels)

    opened = rioxarray.open_rasterio(georeferenced(tmp_path, dn, nodata=65535))
    ds = talvex.xarray.correct(opened.assign_coords(band=[2, 3, 4, 5]), params)
    assert_same_bits(ds.toa_reflectance.values, expected)

    # The same no-data value as an array, one per band, in the encoding.
    da = scene(dn)
    da.encoding["_FillValue"] = np.array([65535, 65535, 65535, 65535], np.uint16)
    assert_same_bits(talvex.xarray.correct(da, params).toa_reflectance.values, expected)
    da.attrs["_FillValue"] = np.array([65535])
    assert_same_bits(talvex.xarray.correct(da, params).toa_reflectance.values, expected)
    # As the older xarray.open_rasterio declared it: one per band, NaN for none.
    da = scene(dn)
    da.attrs["nodatavals"] = (np.nan, 65535.0, np.nan, np.nan)
    assert_same_bits(talvex.xarray.correct(da, params).toa_reflectance.values, expected)

    # An internal mask, read as NaN by rioxarray, in chunks.
    mask = np.zeros(dn.shape[1:], bool)
    mask[70:72, :9] = True
    path = georeferenced(tmp_path, dn, mask=mask)
    opened = rioxarray.open_rasterio(path, masked=True, chunks={"x": 64}).assign_coords(
        band=[2, 3, 4, 5]
    )
    computed = talvex.xarray.correct(opened, params).toa_reflectance.compute()
    assert_same_bits(computed.values, masked(toa_all, dn, mask))


def test_a_valid_zero_reflectance_is_not_masked():
    # lmin below 0: some DN above 0 stands for radiance 0, and reflectance 0.0.
    params = talvex.Parameters(
        lmin=[-1.0] * 4,
        lmax=[4094.0] * 4,
        day_of_year=45,
        solar_zenith_deg=38.6,
        solar_azimuth_deg=142,
        view_zenith_deg=12.5,
        view_azimuth_deg=101,
        correction_option=0,
    )
    zero_dn = np.flatnonzero(params.toa_tables()[0][1:] == 0.0) + 1
    assert zero_dn.size > 0
    dn = np.full((4, 1, 2), 900, np.uint16)
    dn[:, 0, 0] = zero_dn[0]
    toa = talvex.xarray.correct(xr.DataArray(dn, dims=("band", "y", "x")), params)
    assert toa.toa_reflectance.values[0, 0, 0] == 0.0
    assert not np.isnan(toa.toa_reflectance.values).any()


@pytest.mark.parametrize("chunked", [False, True], ids=["in memory", "chunked"])
def test_bands_are_matched_by_label(golden, chunked):
    dn, params, toa, _ = golden
    da = scene(dn).sel(band=[5, 3, 2, 4])
    if chunked:
        da = da.chunk({"y": 30})
    result = talvex.xarray.correct(da, params).toa_reflectance
    assert result.band.values.tolist() == [5, 3, 2, 4]
    for band in (2, 3, 4, 5):
        assert_same_bits(result.sel(band=band).values, toa[band - 2])
    assert result.attrs["long_name"][0] == "Band 5 (short-wave infrared)"


@pytest.mark.parametrize(
    "labels", [[1, 2, 3, 4], [7, 8, 9, 10], ["B2", "B3", "B4", "B5"], [2, 2, 3, 4], [2.0, 3, 4, 5]]
)
def test_other_band_labels_are_refused_with_how_to_relabel(golden, labels):
    dn, params, _, _ = golden
    how = r"relabel them with da.assign_coords\(band=\[2, 3, 4, 5\]\)"
    with pytest.raises(ValueError, match=how):
        talvex.xarray.correct(scene(dn).assign_coords(band=labels), params)


def test_float_dns_must_be_whole_where_not_masked(golden):
    dn, params, _, _ = golden
    da = scene(dn).astype(np.float32)
    da[0, 50, 50] = 1000.5
    with pytest.raises(ValueError, match="whole numbers from 0 to 65535"):
        talvex.xarray.correct(da, params)


def test_dns_scaled_by_the_reader_are_refused(golden, tmp_path):
    # A file with a scale of 2: mask_and_scale=True gives whole numbers that
    # are twice the DNs; masked=True alone keeps the DNs.
    dn, params, toa, _ = golden
    import rasterio

    path = georeferenced(tmp_path, dn)
    with rasterio.open(path, "r+") as target:
        target.scales = (2.0,) * 4
    opened = rioxarray.open_rasterio(path, mask_and_scale=True).assign_coords(band=[2, 3, 4, 5])
    with pytest.raises(ValueError, match="without mask_and_scale=True"):
        talvex.xarray.correct(opened, params)
    opened = rioxarray.open_rasterio(path, masked=True).assign_coords(band=[2, 3, 4, 5])
    assert_same_bits(talvex.xarray.correct(opened, params).toa_reflectance.values, toa)
