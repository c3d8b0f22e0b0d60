"""The working copy of compressed inputs: talvex-geo's own decoder of
DEFLATE strips and the window-by-window copy of pixel-interleaved tiles read
the same DNs and marks as GDAL, and a damaged strip fails cleanly.

Each layout's TOA reflectance (a one-to-one function of the DN) and mask are
compared bit for bit with those of the same DNs in an uncompressed file,
which GDAL reads directly without a working copy."""

import numpy as np
import pytest
from osgeo import gdal

from conftest import (
    EXAMPLE_PARAMETERS,
    TOA_SUFFIX,
    assert_same_bits,
    dn_scene,
    final_outputs,
    leftovers,
    read_mask,
    read_raster,
    run_geo,
    single_band_files,
    with_size,
    write_parameters,
    write_raster,
)

LINES, SAMPLES = 53, 71
DECODED = "the input's compressed strips decoded by talvex-geo"


def scene_dn(lines, samples):
    dn = dn_scene(lines, samples)
    dn[1, 20, 30] = 777  # the no-data value of some layouts
    return dn


def reference(tmp_path, talvex_geo, parameters, dn, nodata=None, alpha=None):
    """TOA and mask of the DNs read directly from an uncompressed file."""
    bands = dn if alpha is None else np.concatenate([dn, alpha])
    plain = write_raster(
        tmp_path / "plain.tif", bands, options=["TILED=YES", "INTERLEAVE=BAND"], nodata=nodata
    )
    if alpha is not None:
        plain_ds = gdal.Open(str(plain), gdal.GA_Update)
        plain_ds.GetRasterBand(5).SetColorInterpretation(gdal.GCI_AlphaBand)
        plain_ds = None
    run_geo(talvex_geo, parameters, plain, tmp_path / "plain")
    out = tmp_path / f"plain{TOA_SUFFIX}.tif"
    return read_raster(out), read_mask(out)


def assert_as_read_by_gdal(tmp_path, talvex_geo, parameters, inputs, expected, decoded=True):
    done = run_geo(talvex_geo, "--debug", "on", parameters, *inputs, tmp_path / "out")
    assert (DECODED in done.stderr) == decoded, done.stderr
    out = tmp_path / f"out{TOA_SUFFIX}.tif"
    assert_same_bits(read_raster(out), expected[0])
    assert (read_mask(out) == expected[1]).all()
    assert leftovers(tmp_path) == [] and not list(tmp_path.glob("*working-copy*"))


@pytest.mark.parametrize("compress", ["DEFLATE", "LZW"])
@pytest.mark.parametrize("interleave", ["BAND", "PIXEL"])
@pytest.mark.parametrize("predictor", ["1", "2"])
@pytest.mark.parametrize("endianness", ["LITTLE", "BIG"])
@pytest.mark.parametrize("strip_lines", [LINES, 7])
def test_compressed_strips_decode_to_gdals_values(
    tmp_path, talvex_geo, compress, interleave, predictor, endianness, strip_lines
):
    dn = scene_dn(LINES, SAMPLES)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    expected = reference(tmp_path, talvex_geo, parameters, dn, nodata=777)
    options = [
        f"COMPRESS={compress}",
        f"PREDICTOR={predictor}",
        f"ENDIANNESS={endianness}",
        f"INTERLEAVE={interleave}",
        f"BLOCKYSIZE={strip_lines}",
    ]
    stack = write_raster(tmp_path / "stack.tif", dn, options=options, nodata=777)
    assert_as_read_by_gdal(tmp_path, talvex_geo, parameters, [stack], expected)


@pytest.mark.parametrize("interleave", ["BAND", "PIXEL"])
def test_deflate_strips_with_an_alpha_band_and_four_files(tmp_path, talvex_geo, interleave):
    dn = scene_dn(LINES, SAMPLES)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    alpha = np.full((1, LINES, SAMPLES), 255, dtype=np.uint16)
    alpha[0, 10:14, 5:40] = 0
    alpha[0, 30, :] = 9  # any value but 0 is valid
    expected = reference(tmp_path, talvex_geo, parameters, dn, alpha=alpha)
    options = ["COMPRESS=DEFLATE", "PREDICTOR=2", f"INTERLEAVE={interleave}", "BLOCKYSIZE=20"]
    stack = write_raster(tmp_path / "stack.tif", np.concatenate([dn, alpha]), options=options)
    ds = gdal.Open(str(stack), gdal.GA_Update)
    ds.GetRasterBand(5).SetColorInterpretation(gdal.GCI_AlphaBand)
    ds = None
    assert_as_read_by_gdal(tmp_path, talvex_geo, parameters, [stack], expected)

    # Four single-band files of other strip heights each.
    expected = reference(tmp_path, talvex_geo, parameters, dn)
    files = [
        write_raster(
            tmp_path / f"band{b}.tif",
            dn[i : i + 1],
            options=["COMPRESS=DEFLATE", f"PREDICTOR={1 + i % 2}", f"BLOCKYSIZE={5 + 11 * i}"],
        )
        for i, b in enumerate((2, 3, 4, 5))
    ]
    assert_as_read_by_gdal(tmp_path, talvex_geo, parameters, files, expected)


def test_layouts_the_decoder_does_not_know_are_left_to_gdal(tmp_path, talvex_geo):
    dn = scene_dn(LINES, SAMPLES)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    expected = reference(tmp_path, talvex_geo, parameters, dn)
    for options in (
        ["COMPRESS=PACKBITS", "INTERLEAVE=BAND", f"BLOCKYSIZE={LINES}"],
        ["COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16"],
    ):
        stack = write_raster(tmp_path / "stack.tif", dn, options=options)
        assert_as_read_by_gdal(tmp_path, talvex_geo, parameters, [stack], expected, decoded=False)
    # A DEFLATE strip file beside a PackBits one: all of it through GDAL.
    files = single_band_files(tmp_path, dn, options=["COMPRESS=DEFLATE"])
    write_raster(files[2], dn[2:3], options=["COMPRESS=PACKBITS"])
    assert_as_read_by_gdal(tmp_path, talvex_geo, parameters, files, expected, decoded=False)


def test_pixel_interleaved_tiles_narrower_than_the_scene_are_copied_window_by_window(
    tmp_path, talvex_geo
):
    """Tiles of 8 MiB over four bands: windows of four tiles across, so a
    5000-pixel scene is copied in windows of 4096 and 904 pixels, and in
    block rows of 1024 and 6 lines, each in pieces of lines."""
    lines, samples = 1030, 5000
    rng = np.random.default_rng(5)
    dn = rng.integers(1, 4096, size=(4, lines, samples), dtype=np.uint16)
    dn[:, 1020:1026, 4090:4100] = 0
    dn[3, 100, 4095:4098] = 0
    dn[0, 1029, 4999] = 777
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, lines, samples))
    expected = reference(tmp_path, talvex_geo, parameters, dn, nodata=777)
    stack = write_raster(
        tmp_path / "stack.tif",
        dn,
        options=["COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=1024", "BLOCKYSIZE=1024"],
        nodata=777,
    )
    done = run_geo(talvex_geo, "--debug", "on", parameters, stack, tmp_path / "out")
    assert "windows of 4096 x 1024 pixels" in done.stderr, done.stderr
    out = tmp_path / f"out{TOA_SUFFIX}.tif"
    assert_same_bits(read_raster(out), expected[0])
    assert (read_mask(out) == expected[1]).all()


@pytest.mark.parametrize("compress", ["DEFLATE", "LZW"])
@pytest.mark.parametrize("damage", ["truncated", "corrupt"])
def test_a_damaged_strip_fails_naming_the_file_and_leaves_nothing(
    tmp_path, talvex_geo, damage, compress
):
    dn = scene_dn(LINES, SAMPLES)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    stack = write_raster(
        tmp_path / "stack.tif",
        dn,
        options=[f"COMPRESS={compress}", "INTERLEAVE=BAND", f"BLOCKYSIZE={LINES}"],
    )
    ds = gdal.Open(str(stack))
    offset = int(ds.GetRasterBand(4).GetMetadataItem("BLOCK_OFFSET_0_0", "TIFF"))
    size = int(ds.GetRasterBand(4).GetMetadataItem("BLOCK_SIZE_0_0", "TIFF"))
    ds = None
    assert offset + size == stack.stat().st_size, "the fixture's last band is at the file's end"
    with open(stack, "r+b") as f:
        if damage == "truncated":
            f.truncate(offset + size // 2)
        else:
            f.seek(offset)
            f.write(b"\xff\xff")  # not a zlib header; an LZW code of no string
    done = run_geo(talvex_geo, parameters, stack, tmp_path / "out", check=False)
    assert done.returncode == 3, done.stderr
    assert f'Can Not Read the Input File "{stack}"' in done.stderr, done.stderr
    assert "band 4's strip 1 of 1" in done.stderr, done.stderr
    assert final_outputs(tmp_path) == [] and leftovers(tmp_path) == []
    assert not list(tmp_path.glob("*working-copy*"))
