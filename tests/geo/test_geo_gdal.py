"""talvex-geo among GDAL's tools: its general options, failures in the
drivers' worker threads, alpha bands and colour interpretations, VRT and GCP
inputs, CRS comparison, block layouts of thin scenes, the two outputs
committed as one, and the progress line another program reads."""

import signal
import subprocess
import time

import numpy as np
import pytest
from osgeo import gdal, osr

from conftest import (
    EXAMPLE_PARAMETERS,
    SURFACE_SUFFIX,
    TOA_SUFFIX,
    assert_same_bits,
    dn_scene,
    final_outputs,
    leftovers,
    read_mask,
    read_raster,
    run_geo,
    run_talvex_v1,
    single_band_files,
    with_size,
    write_parameters,
    write_raster,
)

LINES, SAMPLES = 60, 70


@pytest.fixture(scope="module")
def scene(tmp_path_factory, talvex_v1):
    """A DN scene without DN 0, its parameter file and TALVEX-V1's outputs."""
    folder = tmp_path_factory.mktemp("scene")
    dn = dn_scene(LINES, SAMPLES, zeros=False)
    toa, surface = run_talvex_v1(talvex_v1, folder / "v1", dn, EXAMPLE_PARAMETERS)
    parameters = write_parameters(folder, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    return dn, parameters, toa, surface


def test_gdal_general_options_answer_or_fail_cleanly_and_debug_is_printed(
    tmp_path, talvex_geo, scene
):
    _, parameters, _, _ = scene
    for args in (["--formats"], ["--help-general"], ["--format", "GTiff"]):
        done = run_geo(talvex_geo, *args, check=False)
        assert done.returncode == 0 and done.stdout, (args, done.stderr)
    for args, words in (
        (["--config"], "--config"),
        (["--config", "KEY"], "--config"),
        (["--optfile", "/nonexistent"], "/nonexistent"),
        (["--format", "NoSuch"], "NoSuch"),
    ):
        done = run_geo(talvex_geo, *args, check=False)
        assert done.returncode == 2 and words in done.stderr and "free()" not in done.stderr, (
            args,
            done.stderr,
        )
    stack = write_raster(tmp_path / "stack.tif", scene[0])
    options = tmp_path / "options.txt"
    options.write_text("-q --config GDAL_NUM_THREADS 1\n")
    done = run_geo(
        talvex_geo, "--debug", "on", "--optfile", options, parameters, stack, tmp_path / "out"
    )
    assert "GTiff:" in done.stderr, "GDAL's debug messages are shown"
    assert final_outputs(tmp_path) == [f"out{SURFACE_SUFFIX}.tif", f"out{TOA_SUFFIX}.tif"]


@pytest.mark.parametrize(
    "output",
    [
        ["-co", "NUM_THREADS=2", "-co", "INTERLEAVE=PIXEL"],
        ["-of", "COG"],
        ["-co", "NUM_THREADS=2"],  # band-interleaved: refused before the threads start
    ],
)
def test_a_failure_in_the_drivers_worker_threads_fails_the_run_and_keeps_earlier_outputs(
    tmp_path, talvex_geo, scene, output
):
    _, parameters, _, _ = scene
    stack = write_raster(tmp_path / "stack.tif", scene[0])
    run_geo(talvex_geo, parameters, stack, tmp_path / "out")
    earlier = {name: (tmp_path / name).read_bytes() for name in final_outputs(tmp_path)}
    # WEBP takes only 8-bit data: the compression threads fail, not the caller's.
    done = run_geo(
        talvex_geo,
        *output,
        "-co",
        "COMPRESS=WEBP",
        parameters,
        stack,
        tmp_path / "out",
        check=False,
    )
    assert done.returncode == 4 and "Can Not Write the Output File" in done.stderr, done.stderr
    assert "WEBP" in done.stderr or "WebP" in done.stderr
    assert {name: (tmp_path / name).read_bytes() for name in final_outputs(tmp_path)} == earlier
    assert leftovers(tmp_path) == []


def alpha_band(lines, samples):
    alpha = np.full((1, lines, samples), 255, dtype=np.uint16)
    alpha[0, 5:9, 10:30] = 0
    return alpha


def set_alpha(path, band):
    ds = gdal.Open(str(path), gdal.GA_Update)
    ds.GetRasterBand(band).SetColorInterpretation(gdal.GCI_AlphaBand)
    ds = None


def test_alpha_masks_the_pixels_in_a_stack_and_in_band_files(tmp_path, talvex_geo, scene):
    dn, parameters, toa, surface = scene
    alpha = alpha_band(LINES, SAMPLES)
    stack = write_raster(tmp_path / "stack.tif", np.concatenate([dn, alpha]))
    set_alpha(stack, 5)
    files = []
    for i, b in enumerate((2, 3, 4, 5)):
        files.append(write_raster(tmp_path / f"b{b}.tif", np.concatenate([dn[i : i + 1], alpha])))
        set_alpha(files[-1], 2)
    for name, inputs in (("stack", [stack]), ("files", files)):
        run_geo(talvex_geo, parameters, *inputs, tmp_path / name)
        mask = read_mask(tmp_path / f"{name}{TOA_SUFFIX}.tif")
        assert ((mask == 0) == (alpha[0] == 0)).all(), name
        assert_same_bits(read_raster(tmp_path / f"{name}{SURFACE_SUFFIX}.tif"), surface)


def test_a_four_band_file_is_the_four_bands_whatever_its_colour_interpretation(
    tmp_path, talvex_geo, talvex_v1
):
    dn = dn_scene(LINES, SAMPLES, zeros=False)
    dn = (dn % 255 + 1).astype(np.uint16)
    toa, _ = run_talvex_v1(talvex_v1, tmp_path / "v1", dn, EXAMPLE_PARAMETERS)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    rgba = write_raster(
        tmp_path / "rgba.tif", dn, dtype=gdal.GDT_Byte, options=["PHOTOMETRIC=RGB", "ALPHA=YES"]
    )
    assert gdal.Open(str(rgba)).GetRasterBand(4).GetColorInterpretation() == gdal.GCI_AlphaBand
    run_geo(talvex_geo, parameters, rgba, tmp_path / "out")
    assert_same_bits(read_raster(tmp_path / f"out{TOA_SUFFIX}.tif"), toa)
    assert (read_mask(tmp_path / f"out{TOA_SUFFIX}.tif") == 255).all()


def test_an_output_that_a_vrt_input_refers_to_is_refused(tmp_path, talvex_geo, scene):
    dn, parameters, _, _ = scene
    source = write_raster(tmp_path / f"x{TOA_SUFFIX}.tif", dn)
    before = source.read_bytes()
    vrt = tmp_path / "scene.vrt"
    gdal.Translate(str(vrt), str(source), format="VRT")
    done = run_geo(talvex_geo, parameters, vrt, tmp_path / "x", check=False)
    assert done.returncode == 3 and "is the Input File itself" in done.stderr, done.stderr
    assert source.read_bytes() == before and leftovers(tmp_path) == []


def gcp_file(path, band, shift=0.0, epsg=4326):
    path = write_raster(path, band, geotransform=None)
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(epsg)
    gcps = [
        gdal.GCP(77.0 + x / 100 + shift, 12.0 - y / 100, 0, x, y)
        for x, y in ((0, 0), (60, 0), (0, 50))
    ]
    ds = gdal.Open(str(path), gdal.GA_Update)
    ds.SetGCPs(gcps, srs)
    ds = None
    return path


def test_four_gcp_files_must_share_their_gcps_and_crs(tmp_path, talvex_geo, scene):
    dn, parameters, _, surface = scene
    files = [gcp_file(tmp_path / f"b{b}.tif", dn[i : i + 1]) for i, b in enumerate((2, 3, 4, 5))]
    run_geo(talvex_geo, parameters, *files, tmp_path / "out")
    assert gdal.Open(str(tmp_path / f"out{TOA_SUFFIX}.tif")).GetGCPCount() == 3
    assert_same_bits(read_raster(tmp_path / f"out{SURFACE_SUFFIX}.tif"), surface)
    for bad, words in (
        (gcp_file(tmp_path / "shifted.tif", dn[3:4], shift=0.5), "ground control point 1"),
        (gcp_file(tmp_path / "other.tif", dn[3:4], epsg=4269), "CRS of its ground control points"),
    ):
        done = run_geo(talvex_geo, parameters, *files[:3], bad, tmp_path / "bad", check=False)
        assert (
            done.returncode == 3 and words in done.stderr and "not on the grid" in done.stderr
        ), done.stderr
    assert final_outputs(tmp_path) == [f"out{SURFACE_SUFFIX}.tif", f"out{TOA_SUFFIX}.tif"]


CUSTOM_TM = (
    "+proj=tmerc +lat_0=0 +lon_0=77.5 +k=0.9996 +x_0=500000 +y_0=0 +ellps=WGS84 +units=m +no_defs"
)


def test_equivalent_crs_in_two_formats_pass_and_different_ones_are_named_readably(
    tmp_path, talvex_geo, scene
):
    dn, parameters, _, _ = scene
    custom = osr.SpatialReference()
    custom.ImportFromProj4(CUSTOM_TM)
    files = single_band_files(tmp_path, dn, srs=custom)
    files[3] = write_raster(tmp_path / "b5.img", dn[3:4], driver="ENVI", srs=custom)
    run_geo(talvex_geo, parameters, *files, tmp_path / "out")

    other = osr.SpatialReference()
    other.ImportFromProj4(CUSTOM_TM.replace("77.5", "80.1"))
    files[3] = write_raster(tmp_path / "b5-other.tif", dn[3:4], srs=other)
    done = run_geo(talvex_geo, parameters, *files, tmp_path / "bad", check=False)
    assert (
        done.returncode == 3 and "+lon_0=80.1" in done.stderr and "+lon_0=77.5" in done.stderr
    ), done.stderr
    assert '"unknown"' not in done.stderr


@pytest.mark.parametrize("lines, samples", [(2000, 1), (1, 3000)])
def test_thin_scenes_get_blocks_that_fit_them(tmp_path, talvex_geo, talvex_v1, lines, samples):
    dn = dn_scene(lines, samples, zeros=False)
    toa, _ = run_talvex_v1(talvex_v1, tmp_path / "v1", dn, EXAMPLE_PARAMETERS)
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, lines, samples))
    stack = write_raster(tmp_path / "stack.tif", dn)
    values = lines * samples * 4 * 4
    for output in (["-of", "GTiff"], ["-of", "COG"]):
        run_geo(talvex_geo, *output, parameters, stack, tmp_path / "out")
        path = tmp_path / f"out{TOA_SUFFIX}.tif"
        assert path.stat().st_size < 4 * values + 65536, (output, path.stat().st_size)
        assert_same_bits(read_raster(path), toa)


def test_a_toa_only_run_takes_an_earlier_surface_output_of_its_name_away(
    tmp_path, talvex_geo, scene
):
    dn, parameters, _, _ = scene
    stack = write_raster(tmp_path / "stack.tif", dn)
    run_geo(talvex_geo, parameters, stack, tmp_path / "out")
    toa_only = write_parameters(
        tmp_path,
        parameters.read_text()
        .replace("\n1 ", "\n0 ")
        .replace("1              correction option", "0"),
        "toa-only.txt",
    )
    run_geo(talvex_geo, toa_only, stack, tmp_path / "out")
    assert final_outputs(tmp_path) == [f"out{TOA_SUFFIX}.tif"]


def test_progress_is_gdals_line_on_standard_error_and_term_leaves_nothing(tmp_path, talvex_geo):
    lines = samples = 1500
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, lines, samples))
    stack = write_raster(tmp_path / "stack.tif", dn_scene(lines, samples))
    done = run_geo(talvex_geo, "-progress", parameters, stack, tmp_path / "out")
    assert done.stdout == ""
    # The warnings of DNs above 4095 follow the whole line, never cut it.
    progress, *warnings = done.stderr.splitlines()
    assert progress == "0...10...20...30...40...50...60...70...80...90...100 - done."
    assert len(warnings) == 4 and all("DNs above 4095" in w for w in warnings)
    assert (
        "0..." not in run_geo(talvex_geo, parameters, stack, tmp_path / "out").stderr
    ), "no terminal, no -progress"

    run = subprocess.Popen(
        [
            str(talvex_geo),
            "-progress",
            "-of",
            "COG",
            "-co",
            "COMPRESS=DEFLATE",
            str(parameters),
            str(stack),
            str(tmp_path / "next"),
        ],
        stderr=subprocess.PIPE,
        text=True,
    )
    seen = ""
    while "20" not in seen:
        seen += run.stderr.read(1)
        assert seen or run.poll() is None
    run.send_signal(signal.SIGTERM)
    stderr = seen + run.communicate(timeout=60)[1]
    assert run.returncode == -signal.SIGTERM, stderr
    assert (
        not any(p.name.startswith("next") for p in tmp_path.iterdir()) and leftovers(tmp_path) == []
    )


def test_values_in_another_unit_are_warned_about_and_still_run(tmp_path, talvex_geo, talvex_v1):
    text = EXAMPLE_PARAMETERS.replace("0.27 ", "300 ").replace("2.9 ", "25 ")
    assert "\n300 " in text and "\n25 " in text, "the fixture changes both values"
    dn = dn_scene(LINES, SAMPLES, zeros=False) % 4095 + 1
    toa, surface = run_talvex_v1(talvex_v1, tmp_path / "v1", dn, text)
    parameters = write_parameters(tmp_path, with_size(text, LINES, SAMPLES))
    done = run_geo(
        talvex_geo, parameters, write_raster(tmp_path / "stack.tif", dn), tmp_path / "out"
    )
    lines = done.stderr.splitlines()
    assert len(lines) == 2 and all(
        line.startswith("talvex-geo: Warning: ") for line in lines
    ), done.stderr
    assert "0.3 atm-cm is 300 Dobson units" in lines[0] and "2.5 g/cm2" in lines[1]
    assert_same_bits(read_raster(tmp_path / f"out{SURFACE_SUFFIX}.tif"), surface)
    metadata = gdal.Info(str(tmp_path / f"out{SURFACE_SUFFIX}.tif"), format="json")["metadata"][""]
    assert (
        metadata["talvex_ozone_column"] == "300"
        and metadata["talvex_ozone_column_unit"] == "atm-cm"
    )
    assert metadata["talvex_water_vapour_column_unit"] == "g/cm2"


@pytest.mark.parametrize(
    "layout",
    [
        [
            "COMPRESS=DEFLATE",
            "INTERLEAVE=BAND",
            f"BLOCKYSIZE={LINES}",
        ],  # one compressed strip per band
        ["COMPRESS=DEFLATE", "INTERLEAVE=PIXEL", "TILED=YES", "BLOCKXSIZE=32", "BLOCKYSIZE=16"],
        ["COMPRESS=LZW", "INTERLEAVE=PIXEL"],
    ],
)
def test_compressed_inputs_of_any_block_layout_give_the_same_values_and_mask(
    tmp_path, talvex_geo, scene, layout
):
    """Compressed inputs are decoded once into a working copy: values, the
    mask of DN 0, no-data, an alpha band and a per-dataset mask all survive
    it, the copy is gone afterwards, and a failure in it leaves nothing."""
    dn, parameters, toa, surface = scene
    dn = dn.copy()
    dn[2, 7, 8] = 0
    dn[1, 20, 30] = 777  # band 3's no-data value, written as every band's
    alpha = alpha_band(LINES, SAMPLES)
    stack = write_raster(
        tmp_path / "stack.tif", np.concatenate([dn, alpha]), options=layout, nodata=777
    )
    set_alpha(stack, 5)
    expected = (alpha[0] != 0) & (dn != 0).all(axis=0) & (dn != 777).all(axis=0)
    for output in (["-of", "GTiff"], ["-of", "COG"], ["-of", "ENVI"]):
        run_geo(talvex_geo, *output, parameters, stack, tmp_path / "out")
        suffix = "" if output[1] == "ENVI" else ".tif"
        assert ((read_mask(tmp_path / f"out{TOA_SUFFIX}{suffix}") != 0) == expected).all(), output
        valid = expected & (dn[2] != 0)
        assert_same_bits(
            read_raster(tmp_path / f"out{SURFACE_SUFFIX}{suffix}")[:, valid], surface[:, valid]
        )
        assert leftovers(tmp_path) == [] and not list(tmp_path.glob("*working-copy*")), output

    per_dataset = write_raster(tmp_path / "masked.tif", dn, options=layout)
    ds = gdal.Open(str(per_dataset), gdal.GA_Update)
    ds.CreateMaskBand(gdal.GMF_PER_DATASET)
    mask = np.full((LINES, SAMPLES), 255, dtype=np.uint8)
    mask[40:45, :] = 0
    ds.GetRasterBand(1).GetMaskBand().WriteArray(mask)
    ds = None
    run_geo(talvex_geo, parameters, per_dataset, tmp_path / "masked")
    written = read_mask(tmp_path / f"masked{TOA_SUFFIX}.tif")
    assert (written[40:45] == 0).all() and (written[:40] != 0).sum() == (
        (dn[:, :40] != 0).all(axis=0)
    ).sum()

    # A disk that fills while the copy is written.
    done = run_geo(
        talvex_geo,
        parameters,
        stack,
        tmp_path / "out",
        check=False,
        preexec_fn=lambda: __import__("resource").setrlimit(
            __import__("resource").RLIMIT_FSIZE, (20000, 20000)
        ),
    )
    assert done.returncode == 4 and "working copy" in done.stderr, done.stderr
    assert leftovers(tmp_path) == [] and not list(tmp_path.glob("*working-copy*"))
