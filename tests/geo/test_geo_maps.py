"""talvex-geo with per-pixel elevation and aerosol optical depth maps: maps
on the scene's grid against TALVEX-V1 runs at each pixel's quantised values,
maps in another CRS against GDAL's own warp of them, holes, maps that do not
cover the scene, maps of the wrong kind."""

import numpy as np
import pytest
from osgeo import gdal, osr

from conftest import (
    EXAMPLE_PARAMETERS,
    GEOTRANSFORM,
    SURFACE_SUFFIX,
    TOA_SUFFIX,
    assert_same_bits,
    dn_scene,
    gdalinfo,
    leftovers,
    read_mask,
    read_raster,
    run_geo,
    run_talvex_v1,
    utm,
    with_size,
    write_parameters,
    write_raster,
)

# Two tiles across and down with the output blocks the tests ask for.
LINES, SAMPLES = 70, 90
# Scene values of the golden runs and map values that quantise to them.
ELEVATIONS = {"-12": (-12.4, -11.5), "2999": (2998.5, 2999.2)}
DEPTHS = {"0.05": (0.04951, 0.05049), "0.731": (0.73051, 0.73149)}
NODATA = -9999.0


def text_with(elevation: str, depth: str) -> str:
    return (
        with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES)
        .replace("55             elevation", f"{elevation} elevation")
        .replace("0.25           aerosol", f"{depth} aerosol")
    )


def write_map(path, values, **kwargs):
    return write_raster(
        path, values[np.newaxis].astype(np.float32), dtype=gdal.GDT_Float32, **kwargs
    )


@pytest.fixture(scope="module")
def scene(tmp_path_factory, talvex_v1):
    """A scene, maps on its grid whose pixels quantise to two elevations and
    two depths, and each pixel's surface reflectance from TALVEX-V1."""
    folder = tmp_path_factory.mktemp("maps")
    rng = np.random.default_rng(7)
    dn = dn_scene(LINES, SAMPLES)
    pair = rng.integers(0, 4, size=(LINES, SAMPLES))
    side = rng.integers(0, 2, size=(LINES, SAMPLES))
    elevation = np.empty((LINES, SAMPLES), np.float32)
    depth = np.empty((LINES, SAMPLES), np.float32)
    expected = np.empty((4, LINES, SAMPLES), np.float32)
    for index, (e, a) in enumerate((e, a) for e in ELEVATIONS for a in DEPTHS):
        here = pair == index
        elevation[here] = np.take(ELEVATIONS[e], side[here])
        depth[here] = np.take(DEPTHS[a], 1 - side[here])
        _, surface = run_talvex_v1(talvex_v1, folder / f"v1-{index}", dn, text_with(e, a))
        expected[:, here] = surface[:, here]
    stack = write_raster(folder / "stack.tif", dn, options=["TILED=YES"])
    parameters = write_parameters(folder, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    return folder, stack, parameters, elevation, depth, expected


def test_maps_on_the_scene_grid_equal_talvex_v1_at_quantised_values(tmp_path, talvex_geo, scene):
    _, stack, parameters, elevation, depth, expected = scene
    holes = elevation.copy()
    holes[30:34, 40:47] = NODATA
    dem = write_map(tmp_path / "dem.tif", holes, nodata=NODATA)
    aod = write_map(tmp_path / "aod.tif", depth)
    base = tmp_path / "out"
    # Blocks smaller than the scene: the maps are read block by block.
    run_geo(
        talvex_geo,
        "-q",
        "-co",
        "BLOCKXSIZE=32",
        "-co",
        "BLOCKYSIZE=32",
        "-elevation",
        dem,
        "-aod",
        aod,
        parameters,
        stack,
        base,
    )
    surface = read_raster(f"{base}{SURFACE_SUFFIX}.tif")
    mask = read_mask(f"{base}{SURFACE_SUFFIX}.tif")
    assert np.all(mask[30:34, 40:47] == 0) and np.all(surface[:, 30:34, 40:47] == 0.0)
    kept = np.ones((LINES, SAMPLES), bool)
    kept[30:34, 40:47] = False
    assert_same_bits(surface[:, kept], expected[:, kept])
    # The TOA reflectance is that of the scene, with its own mask.
    assert np.all(
        read_mask(f"{base}{TOA_SUFFIX}.tif")[30:34, 40:47][
            read_raster(stack)[:, 30:34, 40:47].min(0) > 0
        ]
    )
    metadata = gdalinfo(f"{base}{SURFACE_SUFFIX}.tif")["metadata"][""]
    assert metadata["talvex_elevation_map"] == str(dem)
    assert metadata["talvex_elevation_quantisation"] == "1 m"
    assert metadata["talvex_aerosol_optical_depth_map"] == str(aod)
    assert metadata["talvex_aerosol_optical_depth_quantisation"] == "0.001"
    assert metadata["talvex_elevation_map_resampling"] == "bilinear"


def lon_lat_map(path, scene_extent, values_at, pixel_degrees, margin_degrees=0.01):
    """A map in EPSG:4326 around the scene, of values given by their
    longitude and latitude from the scene's centre."""
    wgs84 = osr.SpatialReference()
    wgs84.ImportFromEPSG(4326)
    wgs84.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    xmin, ymin, xmax, ymax = scene_extent
    to_lon_lat = osr.CoordinateTransformation(utm(), wgs84)
    lon0, lat0, lon1, lat1 = to_lon_lat.TransformBounds(xmin, ymin, xmax, ymax, 21)
    west, north = lon0 - margin_degrees, lat1 + margin_degrees
    samples = int(np.ceil((lon1 - lon0 + 2 * margin_degrees) / pixel_degrees))
    lines = int(np.ceil((lat1 - lat0 + 2 * margin_degrees) / pixel_degrees))
    lon = west + pixel_degrees * (np.arange(samples) + 0.5)
    lat = north - pixel_degrees * (np.arange(lines) + 0.5)
    values = values_at(
        lon[np.newaxis, :] - (lon0 + lon1) / 2, lat[:, np.newaxis] - (lat0 + lat1) / 2
    )
    return write_map(
        path, values, geotransform=(west, pixel_degrees, 0, north, 0, -pixel_degrees), srs=wgs84
    )


def scene_extent():
    x0, dx, _, y0, _, dy = GEOTRANSFORM
    return x0, y0 + LINES * dy, x0 + SAMPLES * dx, y0


def assert_maps_run_equals_grid_run(
    talvex_geo, tmp_path, parameters, stack, maps, warped, options=()
):
    """A run with the maps gives the bits of a run with GDAL's own warp of
    them onto the scene's grid (taken pixel for pixel)."""
    run_geo(
        talvex_geo,
        "-q",
        *options,
        "-elevation",
        maps["dem"],
        "-aod",
        maps["aod"],
        parameters,
        stack,
        tmp_path / "maps",
    )
    run_geo(
        talvex_geo,
        "-q",
        "-r",
        "near",
        "-elevation",
        warped["dem"],
        "-aod",
        warped["aod"],
        parameters,
        stack,
        tmp_path / "grid",
    )
    assert_same_bits(
        read_raster(f"{tmp_path / 'maps'}{SURFACE_SUFFIX}.tif"),
        read_raster(f"{tmp_path / 'grid'}{SURFACE_SUFFIX}.tif"),
    )


@pytest.mark.parametrize("resampling", [None, "cubic"])
def test_maps_in_another_crs_equal_gdal_warp_of_them(tmp_path, talvex_geo, scene, resampling):
    _, stack, parameters, _, _, _ = scene
    dem = lon_lat_map(
        tmp_path / "dem.tif",
        scene_extent(),
        lambda lon, lat: 800.0 + 2.0e6 * lon**2 + 2.0e4 * lat,
        0.0007,
    )
    aod = lon_lat_map(
        tmp_path / "aod.tif", scene_extent(), lambda lon, lat: 0.3 + 20.0 * lat + 0.0 * lon, 0.0021
    )
    # GDAL's own warp of each map onto the scene's grid, then a run with those.
    xmin, ymin, xmax, ymax = scene_extent()
    warped = {}
    for name, path in (("dem", dem), ("aod", aod)):
        warped[name] = tmp_path / f"{name}-on-grid.tif"
        gdal.Warp(
            str(warped[name]),
            str(path),
            dstSRS=f"EPSG:{utm().GetAuthorityCode(None)}",
            outputBounds=(xmin, ymin, xmax, ymax),
            width=SAMPLES,
            height=LINES,
            resampleAlg=resampling or "bilinear",
            outputType=gdal.GDT_Float32,
            dstNodata=float("nan"),
        )
    assert np.ptp(read_raster(warped["dem"])) > 50 and np.ptp(read_raster(warped["aod"])) > 0.05
    chosen = ["-r", resampling] if resampling else []
    assert_maps_run_equals_grid_run(
        talvex_geo, tmp_path, parameters, stack, {"dem": dem, "aod": aod}, warped, chosen
    )


def test_refusals_leave_no_output(tmp_path, talvex_geo, scene):
    _, stack, parameters, elevation, depth, _ = scene
    base = tmp_path / "out"

    def refused(status, *arguments):
        done = run_geo(talvex_geo, "-q", *arguments, parameters, stack, base, check=False)
        assert done.returncode == status, done.stderr
        assert not list(tmp_path.glob("out-*")) and not leftovers(tmp_path)
        return done.stderr

    # A map that stops short of the scene's east edge, both extents named.
    short = write_map(tmp_path / "short.tif", elevation[:, :60])
    message = refused(3, "-elevation", short)
    x0, _, _, y0, _, _ = GEOTRANSFORM
    assert "does not cover the scene" in message and "EPSG:32643" in message
    assert f"the map covers x {x0:.10g} to {x0 + 60 * 30:.10g}" in message
    assert f"the scene x {x0:.10g} to {x0 + SAMPLES * 30:.10g}" in message

    two_bands = write_raster(
        tmp_path / "two.tif",
        np.stack([elevation, elevation]).astype(np.float32),
        dtype=gdal.GDT_Float32,
    )
    assert "has 2 bands; a map has one band" in refused(3, "-elevation", two_bands)
    complex_map = write_raster(
        tmp_path / "complex.tif", depth[np.newaxis].astype(np.complex64), dtype=gdal.GDT_CFloat32
    )
    assert "holds complex values (CFloat32)" in refused(3, "-aod", complex_map)
    unplaced = write_map(tmp_path / "unplaced.tif", depth, geotransform=None)
    assert "has no CRS" in refused(3, "-aod", unplaced)
    assert "cannot be opened" in refused(3, "-aod", tmp_path / "missing.tif")
    on_grid = write_map(tmp_path / "dem.tif", elevation)
    assert "-r sideways: the resampling must be one of" in refused(
        2, "-r", "sideways", "-elevation", on_grid
    )

    # An unmarked no-data value fails the surface reflectance after the TOA one.
    unmarked = elevation.copy()
    unmarked[60, 5] = NODATA
    dem = write_map(tmp_path / "unmarked.tif", unmarked)
    done = run_geo(talvex_geo, "-q", "-elevation", dem, parameters, stack, base, check=False)
    assert done.returncode == 3
    assert (
        f'The elevation map "{dem}": a value of -9999 m is outside the accepted range'
        in done.stderr
    )
    assert not (tmp_path / f"out{SURFACE_SUFFIX}.tif").exists() and not leftovers(tmp_path)


def test_maps_need_a_correction_run(tmp_path, talvex_geo, scene):
    _, stack, _, elevation, _, _ = scene
    toa_only = write_parameters(
        tmp_path,
        with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES).replace(
            "1              correction option", "0 correction option"
        ),
    )
    dem = write_map(tmp_path / "dem.tif", elevation)
    done = run_geo(
        talvex_geo, "-q", "-elevation", dem, toa_only, stack, tmp_path / "out", check=False
    )
    assert done.returncode == 2 and "maps are for the surface reflectance" in done.stderr
    assert not list(tmp_path.glob("out-*"))


def test_maps_warped_ahead_on_a_thread_equal_gdal_vrt_warp(tmp_path, talvex_geo):
    """A scene of several rows of the warp's 128-line blocks, so that the
    rows are warped on the warp thread and on the surface pass's thread in
    turn: the same bits as GDAL's warped VRT of the maps read in one go."""
    lines, samples = 700, 40
    dn = dn_scene(lines, samples, seed=11)
    stack = write_raster(tmp_path / "tall.tif", dn, options=["TILED=YES", "BLOCKYSIZE=64"])
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, lines, samples))
    x0, dx, _, y0, _, dy = GEOTRANSFORM
    extent = (x0, y0 + lines * dy, x0 + samples * dx, y0)
    dem = lon_lat_map(
        tmp_path / "dem.tif",
        extent,
        lambda lon, lat: 900.0 + 3.0e6 * lon**2 + 4.0e3 * lat,
        0.0004,
    )
    aod = lon_lat_map(
        tmp_path / "aod.tif", extent, lambda lon, lat: 0.3 + 2.0 * lat + 0.0 * lon, 0.0011
    )
    warped = {}
    for name, path in (("dem", dem), ("aod", aod)):
        vrt = gdal.Warp(
            "",
            str(path),
            format="VRT",
            dstSRS=utm().ExportToWkt(),
            outputBounds=extent,
            width=samples,
            height=lines,
            resampleAlg="bilinear",
            outputType=gdal.GDT_Float32,
        )
        warped[name] = tmp_path / f"{name}-on-grid.tif"
        gdal.Translate(str(warped[name]), vrt)
        vrt = None
    assert_maps_run_equals_grid_run(
        talvex_geo, tmp_path, parameters, stack, {"dem": dem, "aod": aod}, warped
    )


def test_a_map_that_fails_while_warped_ahead_fails_the_run_naming_it(tmp_path, talvex_geo):
    """A map whose lower tiles cannot be decoded: GDAL's failure on the warp
    thread fails the run with the map's name, and no output is left."""
    lines, samples = 700, 40
    dn = dn_scene(lines, samples, seed=11)
    stack = write_raster(tmp_path / "tall.tif", dn, options=["TILED=YES"])
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, lines, samples))
    depth = np.full((lines, samples), 0.2, np.float32)
    aod = write_map(
        tmp_path / "aod.tif",
        depth,
        options=["TILED=YES", "BLOCKXSIZE=16", "BLOCKYSIZE=16", "COMPRESS=DEFLATE"],
    )
    ds = gdal.Open(str(aod))
    offset = int(ds.GetRasterBand(1).GetMetadataItem("BLOCK_OFFSET_1_40", "TIFF"))
    size = int(ds.GetRasterBand(1).GetMetadataItem("BLOCK_SIZE_1_40", "TIFF"))
    ds = None
    with open(aod, "r+b") as f:
        f.seek(offset)
        f.write(b"\xff" * size)
    base = tmp_path / "out"
    done = run_geo(talvex_geo, "-q", "-aod", aod, parameters, stack, base, check=False)
    assert done.returncode == 3, done.stderr
    assert f'The aerosol optical depth map "{aod}" cannot be read' in done.stderr
    assert not (tmp_path / f"out{SURFACE_SUFFIX}.tif").exists() and not leftovers(tmp_path)


def test_four_band_reads_give_the_bits_of_band_reads(tmp_path, talvex_geo):
    """A pixel-interleaved output is copied four bands at a time, a
    band-interleaved or ENVI output band by band: the same values and mask,
    for windows several pieces tall, tiles that do not line up with the
    scene's blocks or edges, holes in a map and DN 0 in single bands."""
    lines, samples = 600, 2100
    rng = np.random.default_rng(19)
    dn = dn_scene(lines, samples, seed=19)
    dn[2, 200:260, 1000:1090] = 0  # one band without data
    stack = write_raster(tmp_path / "wide.tif", dn, options=["TILED=YES"])
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, lines, samples))
    elevation = rng.uniform(-50.0, 4000.0, size=(lines, samples)).astype(np.float32)
    elevation[300:340, 500:530] = NODATA
    elevation[rng.integers(0, lines, 40), rng.integers(0, samples, 40)] = NODATA
    depth = rng.uniform(0.0, 1.5, size=(lines, samples)).astype(np.float32)
    dem = write_map(tmp_path / "dem.tif", elevation, nodata=NODATA)
    aod = write_map(tmp_path / "aod.tif", depth)
    runs = {
        # Strips as tall as the scene: windows cut into pieces, and those
        # into the four bands' DN pieces.
        "strips": ("-co", "BLOCKYSIZE=600"),
        "tiles": ("-co", "TILED=YES", "-co", "BLOCKXSIZE=48", "-co", "BLOCKYSIZE=32"),
        "bands": ("-co", "INTERLEAVE=BAND"),
        "envi": ("-of", "ENVI"),
    }
    surface = {}
    mask = {}
    for name, options in runs.items():
        base = tmp_path / name
        run_geo(talvex_geo, "-q", *options, "-elevation", dem, "-aod", aod, parameters, stack, base)
        path = f"{base}{SURFACE_SUFFIX}" + ("" if name == "envi" else ".tif")
        surface[name] = read_raster(path)
        mask[name] = read_mask(path)
    holes = (elevation == NODATA) | (dn == 0).any(axis=0)
    assert np.array_equal(mask["bands"] == 0, holes)
    # A band's DN 0 clears that band; a map's hole clears all four.
    assert np.all(surface["bands"][(dn == 0) | (elevation == NODATA)] == 0.0)
    assert np.count_nonzero(surface["bands"][:, ~holes]) > 0.99 * surface["bands"][:, ~holes].size
    for name in ("strips", "tiles", "envi"):
        assert_same_bits(surface[name], surface["bands"])
        if name != "envi":
            assert np.array_equal(mask[name], mask["bands"])
