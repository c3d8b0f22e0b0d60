"""talvex-geo's outputs: TALVEX-V1's values bit for bit in every format and
layout, the input's georeference, band descriptions, metadata and mask."""

import zipfile

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
    single_band_files,
    utm,
    with_size,
    write_parameters,
    write_raster,
)

# Larger than one 256 x 256 tile of the outputs and than one block of the
# inputs, with edges that cut tiles.
LINES, SAMPLES = 530, 610


@pytest.fixture(scope="module")
def scene(tmp_path_factory, talvex_v1):
    """A DN scene, its parameter file, and TALVEX-V1's two outputs for it."""
    folder = tmp_path_factory.mktemp("scene")
    dn = dn_scene(LINES, SAMPLES)
    toa, surface = run_talvex_v1(talvex_v1, folder / "v1", dn, EXAMPLE_PARAMETERS)
    parameters = write_parameters(folder, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    return folder, dn, parameters, toa, surface


@pytest.mark.parametrize(
    "layout, output_options",
    [
        ("stack, pixel-interleaved", ["-co", "BLOCKXSIZE=128", "-co", "BLOCKYSIZE=64"]),
        ("stack, band-interleaved, striped", ["-co", "NUM_THREADS=1"]),
        ("four band files", ["-co", "COMPRESS=DEFLATE", "-co", "INTERLEAVE=BAND"]),
    ],
)
def test_gtiff_values_equal_talvex_v1_whatever_the_layout(
    tmp_path, talvex_geo, scene, layout, output_options
):
    _, dn, parameters, toa, surface = scene
    if layout.startswith("four"):
        inputs = single_band_files(
            tmp_path, dn, options=["TILED=YES", "BLOCKXSIZE=512", "BLOCKYSIZE=128"]
        )
    elif "striped" in layout:
        inputs = [
            write_raster(tmp_path / "stack.tif", dn, options=["INTERLEAVE=BAND", "BLOCKYSIZE=7"])
        ]
    else:
        inputs = [
            write_raster(tmp_path / "stack.tif", dn, options=["TILED=YES", "INTERLEAVE=PIXEL"])
        ]
    run_geo(talvex_geo, *output_options, parameters, *inputs, tmp_path / "out")
    assert_same_bits(read_raster(tmp_path / f"out{TOA_SUFFIX}.tif"), toa)
    assert_same_bits(read_raster(tmp_path / f"out{SURFACE_SUFFIX}.tif"), surface)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize(
    "output_options, interleave",
    [
        (["COMPRESS=DEFLATE", "BLOCKXSIZE=256", "BLOCKYSIZE=128", "NUM_THREADS=2"], "BAND"),
        (["compress=zstd", "PREDICTOR=3"], "BAND"),
        (["COMPRESS=DEFLATE", "INTERLEAVE=PIXEL", "NUM_THREADS=2"], "PIXEL"),
        (["COMPRESS=NONE", "COMPRESS=DEFLATE"], "PIXEL"),  # the driver takes the first
        ([], "PIXEL"),
    ],
)
def test_compressed_gtiff_outputs_are_band_interleaved_unless_the_user_says_otherwise(
    tmp_path, talvex_geo, scene, output_options, interleave
):
    """Band-interleaved tiles keep the compression jobs small; the values,
    the mask and the user's own layout are unchanged by it."""
    _, dn, parameters, toa, surface = scene
    stack = write_raster(tmp_path / "stack.tif", dn, options=["TILED=YES"])
    options = [arg for option in output_options for arg in ("-co", option)]
    run_geo(talvex_geo, *options, parameters, stack, tmp_path / "out")
    expected_mask = np.where((dn == 0).any(axis=0), 0, 255)
    for suffix, expected in ((TOA_SUFFIX, toa), (SURFACE_SUFFIX, surface)):
        path = tmp_path / f"out{suffix}.tif"
        structure = gdalinfo(path)["metadata"]["IMAGE_STRUCTURE"]
        assert structure["INTERLEAVE"] == interleave, structure
        assert_same_bits(read_raster(path), expected)
        np.testing.assert_array_equal(read_mask(path), expected_mask)


def test_the_georeference_descriptions_metadata_and_mask_of_a_gtiff(tmp_path, talvex_geo, scene):
    _, dn, parameters, _, _ = scene
    stack = write_raster(tmp_path / "stack.tif", dn)
    done = run_geo(talvex_geo, parameters, stack, tmp_path / "out")
    # No progress when standard error is no terminal: only the warning for
    # the scene's DNs above 4095, one line a band, after the run.
    assert done.stdout == ""
    counts = [int(line.split()[2]) for line in done.stderr.splitlines()]
    assert counts == [int((dn[i] > 4095).sum()) for i in range(4)], done.stderr
    assert all(
        line.startswith("talvex-geo: Warning: ") and f"of band {b} have DNs above 4095" in line
        for b, line in zip((2, 3, 4, 5), done.stderr.splitlines())
    )

    info = gdalinfo(tmp_path / f"out{TOA_SUFFIX}.tif")
    assert tuple(info["geoTransform"]) == GEOTRANSFORM
    written = osr.SpatialReference()
    written.ImportFromWkt(info["coordinateSystem"]["wkt"])
    assert written.IsSame(utm())
    assert [b["description"] for b in info["bands"]] == [
        "Band 2 (green)",
        "Band 3 (red)",
        "Band 4 (near infrared)",
        "Band 5 (short-wave infrared)",
    ]
    assert all(
        b["type"] == "Float32" and b["mask"]["flags"] == ["PER_DATASET"] for b in info["bands"]
    )
    assert info["bands"][0]["block"] == [256, 256], "tiled by default"
    items = info["metadata"][""]
    assert items["talvex_product"] == "top-of-atmosphere reflectance"
    assert items["talvex_solar_zenith_deg"] == "38.6" and items["talvex_day_of_year"] == "45"
    assert items["talvex_lmax"] == "52.5 40.8 33.6 7.2" and items["talvex_ozone_column"] == "0.27"
    assert items["talvex_version"].count(".") == 2
    assert not list(tmp_path.glob("*.aux.xml")), "everything is inside the GeoTIFF"

    # The mask marks every pixel with DN 0 in any band, and nothing else.
    expected = np.where((dn == 0).any(axis=0), 0, 255)
    for suffix in (TOA_SUFFIX, SURFACE_SUFFIX):
        np.testing.assert_array_equal(read_mask(tmp_path / f"out{suffix}.tif"), expected)


def test_the_mask_takes_the_inputs_no_data_and_keeps_a_valid_zero_reflectance(
    tmp_path, talvex_geo, talvex_v1
):
    # lmin -1 and lmax 4094 make DN 1 a radiance of 0: a valid reflectance of 0.0.
    parameters_text = EXAMPLE_PARAMETERS.replace("0.0 52.5", "-1 4094", 1)
    dn = dn_scene(40, 50, zeros=False)
    dn[0, 10, :] = 1
    dn[2, 20, 5] = 777  # the no-data value of the band 4 file
    toa, _ = run_talvex_v1(talvex_v1, tmp_path / "v1", dn, parameters_text)
    assert (toa[0, 10, :] == 0.0).all(), "the fixture needs valid zero reflectances"
    parameters = write_parameters(tmp_path, with_size(parameters_text, 40, 50))
    files = single_band_files(tmp_path, dn)
    write_raster(files[2], dn[2:3], nodata=777)
    run_geo(talvex_geo, parameters, *files, tmp_path / "out")

    mask = read_mask(tmp_path / f"out{TOA_SUFFIX}.tif")
    assert (mask[10, :] == 255).all(), "a valid 0.0 is not masked"
    assert mask[20, 5] == 0 and (mask == 0).sum() == 1
    assert_same_bits(read_raster(tmp_path / f"out{TOA_SUFFIX}.tif"), toa)


def test_a_cog_has_its_layout_overviews_and_masked_overviews(tmp_path, talvex_geo, talvex_v1):
    lines, samples = 1100, 1300  # large enough for the driver to make overviews
    dn = dn_scene(lines, samples)
    toa, surface = run_talvex_v1(talvex_v1, tmp_path / "v1", dn, EXAMPLE_PARAMETERS)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, lines, samples))
    stack = write_raster(tmp_path / "stack.tif", dn, options=["TILED=YES"])
    run_geo(
        talvex_geo, "-of", "COG", "-co", "COMPRESS=DEFLATE", parameters, stack, tmp_path / "out"
    )

    for suffix, expected in ((TOA_SUFFIX, toa), (SURFACE_SUFFIX, surface)):
        path = tmp_path / f"out{suffix}.tif"
        info = gdalinfo(path)
        structure = info["metadata"]["IMAGE_STRUCTURE"]
        assert structure["LAYOUT"] == "COG" and structure["COMPRESSION"] == "DEFLATE"
        band = info["bands"][0]
        assert len(band["overviews"]) >= 1
        assert band["mask"]["flags"] == ["PER_DATASET"] and len(band["mask"]["overviews"]) >= 1
        assert tuple(info["geoTransform"]) == GEOTRANSFORM
        assert_same_bits(read_raster(path), expected)
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("out")) == [
        f"out{SURFACE_SUFFIX}.tif",
        f"out{TOA_SUFFIX}.tif",
    ]


def test_envi_outputs_carry_map_info_band_names_and_a_mask_beside_them(tmp_path, talvex_geo, scene):
    _, dn, parameters, toa, surface = scene
    files = single_band_files(tmp_path, dn)
    run_geo(talvex_geo, "-of", "ENVI", parameters, *files, tmp_path / "out")
    for suffix, expected in ((TOA_SUFFIX, toa), (SURFACE_SUFFIX, surface)):
        image = tmp_path / f"out{suffix}"
        assert image.stat().st_size == 16 * LINES * SAMPLES
        header = (tmp_path / f"out{suffix}.hdr").read_text()
        assert "map info = {UTM" in header and "Band 5 (short-wave infrared)" in header
        assert ".tmp-talvex-" not in header, "the header names the final file"
        assert_same_bits(np.fromfile(image, "<f4").reshape(4, LINES, SAMPLES), expected)
        np.testing.assert_array_equal(read_mask(image), np.where((dn == 0).any(axis=0), 0, 255))
    assert leftovers(tmp_path) == []


def test_byte_pixels_of_a_zipped_envi_scene_and_ground_control_points(
    tmp_path, talvex_geo, talvex_v1
):
    dn = dn_scene(60, 70) % 256
    toa, _ = run_talvex_v1(talvex_v1, tmp_path / "v1", dn, EXAMPLE_PARAMETERS)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, 60, 70))
    write_raster(tmp_path / "scene.raw", dn, driver="ENVI", dtype=gdal.GDT_Byte, geotransform=None)
    with zipfile.ZipFile(tmp_path / "scene.zip", "w") as archive:
        for name in ("scene.raw", "scene.hdr"):
            archive.write(tmp_path / name, name)
    run_geo(
        talvex_geo, parameters, f"/vsizip/{tmp_path / 'scene.zip'}/scene.raw", tmp_path / "zipped"
    )
    assert_same_bits(read_raster(tmp_path / f"zipped{TOA_SUFFIX}.tif"), toa)

    # A scene placed by ground control points rather than a geotransform.
    ds = gdal.GetDriverByName("GTiff").Create(
        str(tmp_path / "gcps.tif"), 70, 60, 4, gdal.GDT_UInt16
    )
    gcps = [
        gdal.GCP(75.0 + x / 1000, 13.0 - y / 1000, 0.0, x, y)
        for x, y in ((0, 0), (70, 0), (0, 60), (70, 60))
    ]
    wgs84 = osr.SpatialReference()
    wgs84.ImportFromEPSG(4326)
    ds.SetGCPs(gcps, wgs84)
    ds.WriteRaster(0, 0, 70, 60, dn.astype(np.uint16).tobytes())
    ds = None
    run_geo(talvex_geo, parameters, tmp_path / "gcps.tif", tmp_path / "out")
    placed = gdal.Open(str(tmp_path / "gcps.tif"))
    written = gdal.Open(str(tmp_path / f"out{TOA_SUFFIX}.tif"))
    assert placed.GetGCPSpatialRef().GetName() == "WGS 84"
    assert written.GetGCPCount() == 4 and written.GetGCPSpatialRef().IsSame(
        placed.GetGCPSpatialRef()
    )
    assert [(g.GCPPixel, g.GCPLine, g.GCPX, g.GCPY) for g in written.GetGCPs()] == [
        (g.GCPPixel, g.GCPLine, g.GCPX, g.GCPY) for g in gcps
    ]
    assert_same_bits(written.ReadAsArray(), toa)


def test_a_toa_only_run_writes_one_output(tmp_path, talvex_geo):
    text = with_size(EXAMPLE_PARAMETERS, 20, 30).replace("1              correction option", "0", 1)
    parameters = write_parameters(tmp_path, text)
    run_geo(
        talvex_geo, parameters, write_raster(tmp_path / "s.tif", dn_scene(20, 30)), tmp_path / "out"
    )
    assert sorted(p.name for p in tmp_path.glob("out*")) == [f"out{TOA_SUFFIX}.tif"]
    assert (
        gdalinfo(tmp_path / f"out{TOA_SUFFIX}.tif")["metadata"][""]["talvex_correction_option"]
        == "0"
    )
