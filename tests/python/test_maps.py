"""Per-pixel elevation and aerosol optical depth: every pixel against
TALVEX-V1 run with that pixel's quantised values as scene values, through
numpy and xarray (with and without Dask); broadcasting, no data, refusals."""

import dataclasses

import numpy as np
import pytest
import xarray as xr

import talvex
import talvex.xarray
from conftest import EXAMPLE_PARAMETERS, assert_same_bits, run_talvex_v1, write_parameters

LINES, SAMPLES = 48, 40
# Scene values of the golden runs, and the map values that quantise to them
# (from below and above, half steps away from zero included).
ELEVATIONS = {"-12": (-12.4, -11.5), "1500": (1499.5, 1500.49), "2999": (2998.5, 2999.2)}
DEPTHS = {"0.05": (0.04951, 0.05049), "0.25": (0.2496, 0.2504), "0.731": (0.73051, 0.73149)}


def text_with(elevation: str, depth: str) -> str:
    return EXAMPLE_PARAMETERS.replace("55             elevation", f"{elevation} elevation").replace(
        "0.25           aerosol", f"{depth} aerosol"
    )


@pytest.fixture(scope="module")
def golden(talvex_v1, tmp_path_factory):
    """A scene, maps whose pixels quantise to three elevations and three
    depths, and the surface reflectance each pixel gets from TALVEX-V1."""
    rng = np.random.default_rng(19)
    dn = rng.integers(0, 4096, size=(4, LINES, SAMPLES), dtype=np.uint16)
    dn[:, 0, :5] = 0
    pair_index = rng.integers(0, 9, size=(LINES, SAMPLES))
    side = rng.integers(0, 2, size=(LINES, SAMPLES))
    elevation = np.empty((LINES, SAMPLES), np.float32)
    depth = np.empty((LINES, SAMPLES), np.float32)
    expected = np.empty((4, LINES, SAMPLES), np.float32)
    folder = tmp_path_factory.mktemp("maps")
    for index, (e, a) in enumerate((e, a) for e in ELEVATIONS for a in DEPTHS):
        here = pair_index == index
        elevation[here] = np.take(ELEVATIONS[e], side[here])
        depth[here] = np.take(DEPTHS[a], 1 - side[here])
        _, surface = run_talvex_v1(talvex_v1, folder / f"{index}", dn, text_with(e, a))
        expected[:, here] = surface[:, here]
    params = talvex.read_parameters(write_parameters(folder, EXAMPLE_PARAMETERS))
    return (
        dn,
        dataclasses.replace(params, line_count=LINES, sample_count=SAMPLES),
        elevation,
        depth,
        expected,
    )


def test_every_pixel_equals_talvex_v1_at_its_quantised_values(golden):
    dn, params, elevation, depth, expected = golden
    assert_same_bits(talvex.surface_reflectance(dn, params, elevation, depth), expected)
    # Float64 maps and a preallocated, non-contiguous output give the same.
    out = np.full((4, LINES, 2 * SAMPLES), -1.0, np.float32)[:, :, ::2]
    talvex.surface_reflectance(
        dn,
        params,
        elevation_metres=elevation.astype(np.float64),
        aerosol_optical_depth=depth,
        out=out,
    )
    assert_same_bits(out, expected)


def test_scalars_and_broadcast_rows(golden, talvex_v1, tmp_path):
    dn, params, _, _, _ = golden
    # A scalar is quantised like any map value.
    _, surface = run_talvex_v1(talvex_v1, tmp_path, dn, text_with("1500", "0.25"))
    assert_same_bits(talvex.surface_reflectance(dn, params, 1500.3, 0.2502), surface)
    assert_same_bits(
        talvex.surface_reflectance(dn, params, elevation_metres=1500.3, aerosol_optical_depth=0.25),
        surface,
    )
    # One value per column, broadcast down the lines, against per-pixel maps.
    column = np.linspace(0.0, 3000.0, SAMPLES, dtype=np.float32)
    assert_same_bits(
        talvex.surface_reflectance(dn, params, elevation_metres=column),
        talvex.surface_reflectance(dn, params, elevation_metres=np.tile(column, (LINES, 1))),
    )
    # Only one map: the other value comes from the parameters, unquantised.
    hazy = dataclasses.replace(params, aerosol_optical_depth=0.2504)
    mapped = talvex.surface_reflectance(dn, hazy, elevation_metres=np.full((LINES, SAMPLES), 55.0))
    assert_same_bits(mapped, talvex.surface_reflectance(dn, hazy))


def test_no_data_and_refusals(golden):
    dn, params, elevation, depth, _ = golden
    holes = elevation.copy()
    holes[5:9, 3:7] = np.nan
    result = talvex.surface_reflectance(dn, params, holes, depth)
    assert np.all(result[:, 5:9, 3:7] == 0.0)
    assert np.all(result[:, 10:, :][dn[:, 10:, :] != 0] != 0.0)

    unmarked = elevation.copy()
    unmarked[7, 7] = -9999.0
    with pytest.raises(
        ValueError, match=r"elevation map: a value of -9999 m is outside.*-1000 to 9000 m"
    ):
        talvex.surface_reflectance(dn, params, unmarked, depth)
    with pytest.raises(ValueError, match=r"aerosol optical depth map: a value of -0\.2"):
        talvex.surface_reflectance(dn, params, aerosol_optical_depth=-0.2)
    with pytest.raises(
        ValueError, match=r"broadcasts to one band's shape \(48, 40\), found shape \(40, 48\)"
    ):
        talvex.surface_reflectance(dn, params, elevation.T)
    with pytest.raises(TypeError, match="real numbers"):
        talvex.surface_reflectance(dn, params, aerosol_optical_depth=depth.astype(np.complex64))
    toa_only = dataclasses.replace(params, correction_option=0)
    with pytest.raises(ValueError, match="correction_option 1"):
        talvex.surface_reflectance(dn, toa_only, elevation)


def test_a_scene_shared_among_threads_equals_its_tiles(golden):
    """A scene of many blocks, split among threads each with its own terms,
    gives every tile what the tile alone gives, and counts the DNs above
    full scale of every thread's pixels."""
    dn, params, elevation, depth, expected = golden
    tiles = (12, 30)  # 691,200 pixels: more blocks than one thread takes
    big_dn = np.tile(dn, (1,) + tiles)
    big_params = dataclasses.replace(params, line_count=None, sample_count=None)
    result = talvex.surface_reflectance(
        big_dn, big_params, np.tile(elevation, tiles), np.tile(depth, tiles)
    )
    assert_same_bits(result, np.tile(expected, (1,) + tiles))

    big_dn[1, 3, 4] = 4096  # first rows: the first thread's
    big_dn[1, -2, -3] = 65535  # last rows: the last thread's
    big_dn[3, -1, 0] = 5000
    with pytest.warns(UserWarning) as with_maps:
        talvex.surface_reflectance(big_dn, big_params, np.tile(elevation, tiles), depth[0, 0])
    with pytest.warns(UserWarning) as constant:
        talvex.surface_reflectance(big_dn, big_params)
    assert [str(w.message) for w in with_maps] == [str(w.message) for w in constant]
    assert len(constant) == 2


def test_terms_kept_between_calls_and_threads(golden):
    """The terms met by one call are kept on the parameters for the next,
    calls from several Python threads at once share them safely, and a
    pickled copy starts afresh with the same results."""
    import concurrent.futures
    import pickle

    dn, params, elevation, depth, expected = golden
    params = dataclasses.replace(params)  # a Parameters object of this test's own
    one = (slice(None), slice(0, 1), slice(5, 6))
    assert_same_bits(
        talvex.surface_reflectance(dn[one], params, elevation[one[1:]], depth[one[1:]]),
        expected[one],
    )
    met_first = params._map_terms.distinct_values
    assert met_first == (1, 1)
    tiles = (6, 10)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(
            pool.map(
                lambda _: talvex.surface_reflectance(
                    np.tile(dn, (1,) + tiles), params, np.tile(elevation, tiles),
                    np.tile(depth, tiles),
                ),
                range(4),
            )
        )
    for result in results:
        assert_same_bits(result, np.tile(expected, (1,) + tiles))
    met_all = params._map_terms.distinct_values
    assert met_all[0] > met_first[0] and met_all[1] > met_first[1]
    assert_same_bits(talvex.surface_reflectance(dn, params, elevation, depth), expected)
    assert params._map_terms.distinct_values == met_all

    copy = pickle.loads(pickle.dumps(params))
    assert "_map_terms" not in copy.__dict__
    assert_same_bits(talvex.surface_reflectance(dn, copy, elevation, depth), expected)
    assert copy._map_terms.distinct_values == met_all


def scene_arrays(dn, elevation, depth, lines=None):
    y = 1500000.0 - 23.5 * (np.arange(LINES) + 0.5)
    x = 500000.0 + 23.5 * (np.arange(SAMPLES) + 0.5)
    da = xr.DataArray(dn, dims=("band", "y", "x"), coords={"band": [2, 3, 4, 5], "y": y, "x": x})
    elev = xr.DataArray(elevation, dims=("y", "x"), coords={"y": y, "x": x}, name="dem.tif")
    aod = xr.DataArray(depth, dims=("y", "x"), coords={"y": y, "x": x}, name="aod.tif")
    return da, elev, aod


@pytest.mark.parametrize("chunks", [None, {"y": 20, "x": 16}])
def test_xarray_maps_aligned_by_coordinates(golden, chunks):
    dn, params, elevation, depth, expected = golden
    da, elev, aod = scene_arrays(dn, elevation, depth)
    if chunks:
        da = da.chunk(chunks)
    # Maps stored in another order of lines and of dimensions are aligned.
    ds = talvex.xarray.correct(
        da, params, elevation_metres=elev.isel(y=slice(None, None, -1)), aerosol_optical_depth=aod.T
    )
    # A pixel without data in any band is NaN there.
    masked = np.where((dn != 0).all(axis=0), expected, np.float32(np.nan))
    assert_same_bits(ds.surface_reflectance.values, masked)
    assert ds.attrs["talvex_elevation_map"] == "dem.tif"
    assert ds.attrs["talvex_aerosol_optical_depth_map"] == "aod.tif"
    assert ds.attrs["talvex_elevation_quantisation"] == 1.0
    assert ds.attrs["talvex_aerosol_optical_depth_quantisation"] == 0.001


def test_xarray_map_holes_are_masked(golden):
    dn, params, elevation, depth, expected = golden
    holes = elevation.copy()
    holes[5:9, 3:7] = np.nan
    da, elev, aod = scene_arrays(dn, holes, depth)
    surface = talvex.xarray.correct(da, params, elevation_metres=elev).surface_reflectance.values
    assert np.isnan(surface[:, 5:9, 3:7]).all()
    assert not np.isnan(surface[:, 10:, :][:, (dn[:, 10:, :] != 0).all(axis=0)]).any()


def test_xarray_refuses_a_map_on_another_grid(golden):
    dn, params, elevation, depth, _ = golden
    da, elev, _ = scene_arrays(dn, elevation, depth)
    shifted = elev.assign_coords(x=elev.x + 5.0)
    with pytest.raises(ValueError, match=r"not on the scene's grid.*rio\.reproject_match\(da\)"):
        talvex.xarray.correct(da, params, elevation_metres=shifted)
    with pytest.raises(ValueError, match=r"scene's dimensions.*reproject_match"):
        talvex.xarray.correct(da, params, elevation_metres=elev.rename(x="lon"))
    with pytest.raises(TypeError, match="DataArray on the scene's grid"):
        talvex.xarray.correct(da, params, elevation_metres=elevation)


def test_geo_route_with_maps_equals_the_array_route(golden, tmp_path):
    gdal = pytest.importorskip("osgeo.gdal")
    osr = pytest.importorskip("osgeo.osr")
    import talvex.geo

    dn, params, elevation, depth, expected = golden
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32643)
    transform = (500000.0, 23.5, 0.0, 1500000.0, 0.0, -23.5)

    def write(path, bands, data_type):
        ds = gdal.GetDriverByName("GTiff").Create(str(path), SAMPLES, LINES, len(bands), data_type)
        ds.SetGeoTransform(transform)
        ds.SetSpatialRef(srs)
        for i, band in enumerate(bands):
            ds.GetRasterBand(i + 1).WriteArray(band)
        ds = None
        return path

    scene = write(tmp_path / "scene.tif", dn, gdal.GDT_UInt16)
    dem = write(tmp_path / "dem.tif", [elevation], gdal.GDT_Float32)
    aod = write(tmp_path / "aod.tif", [depth], gdal.GDT_Float32)
    parameters = write_parameters(
        tmp_path, EXAMPLE_PARAMETERS.replace("320 320", f"{LINES} {SAMPLES}")
    )
    outputs = talvex.geo.correct_files(
        parameters,
        scene,
        tmp_path / "out",
        elevation_map=dem,
        aerosol_map=aod,
        map_resampling="near",
    )
    written = gdal.Open(str(outputs[-1]))
    valid = (dn != 0).all(axis=0)
    assert_same_bits(written.ReadAsArray()[:, valid], expected[:, valid])
    assert written.GetMetadataItem("talvex_aerosol_optical_depth_map") == str(aod)
    assert written.GetMetadataItem("talvex_elevation_map_resampling") == "near"
