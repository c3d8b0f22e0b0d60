"""talvex.geo: talvex-geo's conversion called from Python gives the files the
program gives, reports progress, warnings and failures the Python way, can be
cancelled, and is refused with a clear ImportError where the build has no GDAL."""

import subprocess
import sys
import threading

import numpy as np
import pytest
from osgeo import gdal

import talvex.geo as geo
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
    single_band_files,
    with_size,
    write_parameters,
    write_raster,
)

LINES, SAMPLES = 300, 280


@pytest.fixture
def scene(tmp_path):
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    dn = dn_scene(LINES, SAMPLES) % 4095 + 1
    dn[:, :3, :] = 0
    return tmp_path, parameters, dn


@pytest.mark.parametrize("output_format", ["GTiff", "COG", "ENVI"])
def test_the_files_are_those_of_the_program(scene, talvex_geo, output_format):
    folder, parameters, dn = scene
    files = single_band_files(folder, dn)
    seen = []
    written = geo.correct_files(
        parameters,
        files,
        folder / "py",
        output_format=output_format,
        creation_options=["COMPRESS=DEFLATE"] if output_format != "ENVI" else None,
        progress=seen.append,
    )
    run_geo(
        talvex_geo,
        "-of",
        output_format,
        *(["-co", "COMPRESS=DEFLATE"] if output_format != "ENVI" else []),
        parameters,
        *files,
        folder / "cli",
    )
    extension = "" if output_format == "ENVI" else ".tif"
    assert written == [
        folder / f"py{TOA_SUFFIX}{extension}",
        folder / f"py{SURFACE_SUFFIX}{extension}",
    ]
    for suffix in (TOA_SUFFIX, SURFACE_SUFFIX):
        ours, theirs = folder / f"py{suffix}{extension}", folder / f"cli{suffix}{extension}"
        assert_same_bits(read_raster(ours), read_raster(theirs))
        assert (read_mask(ours) == read_mask(theirs)).all() and (read_mask(ours)[:3] == 0).all()
        assert (
            gdal.Info(str(ours), format="json")["metadata"][""]
            == gdal.Info(str(theirs), format="json")["metadata"][""]
        )
    assert seen == sorted(seen) and seen[-1] == 1.0 and len(seen) > 2
    assert leftovers(folder) == []


def test_failures_are_geo_errors_with_their_side_and_status(scene):
    folder, parameters, dn = scene
    stack = write_raster(folder / "stack.tif", dn)
    cases = (
        ((parameters, folder / "none.tif", folder / "out"), "input", 3, "none.tif"),
        ((folder / "none.txt", stack, folder / "out"), "parameters", 2, "none.txt"),
        ((parameters, stack, folder / "missing" / "out"), "output", 4, "does not exist"),
    )
    for args, kind, status, words in cases:
        with pytest.raises(geo.GeoError) as failure:
            geo.correct_files(*args)
        assert (failure.value.kind, failure.value.status) == (kind, status) and words in str(
            failure.value
        )
    with pytest.raises(ValueError, match="output_format"):
        geo.correct_files(parameters, stack, folder / "out", output_format="PNG")
    with pytest.raises(geo.GeoError) as failure:
        geo.correct_files(
            parameters, stack, folder / "out", creation_options=["COMPRESS=WEBP", "NUM_THREADS=2"]
        )
    assert failure.value.kind == "output" and "WEBP" in failure.value.message.upper()
    assert final_outputs(folder) == [] and leftovers(folder) == []


def test_cancelling_leaves_nothing_and_earlier_outputs_whole(scene):
    folder, parameters, dn = scene
    stack = write_raster(folder / "stack.tif", dn)
    geo.correct_files(parameters, stack, folder / "out")
    earlier = {name: (folder / name).read_bytes() for name in final_outputs(folder)}

    with pytest.raises(geo.GeoError) as failure:
        geo.correct_files(parameters, stack, folder / "out", progress=lambda done: done < 0.6)
    assert failure.value.kind == "interrupted"
    event = threading.Event()
    event.set()
    with pytest.raises(geo.GeoError):
        geo.correct_files(parameters, stack, folder / "out", cancel=event)

    def fails(done):
        raise KeyError("from the progress function")

    with pytest.raises(KeyError, match="from the progress function"):
        geo.correct_files(parameters, stack, folder / "out", progress=fails)
    assert {name: (folder / name).read_bytes() for name in final_outputs(folder)} == earlier
    assert leftovers(folder) == []


def test_values_in_another_unit_and_an_invalid_option_are_user_warnings(scene):
    folder, parameters, dn = scene
    dn[1, 50, 60] = 5000
    stack = write_raster(folder / "stack.tif", dn)
    ozone = write_parameters(
        folder, parameters.read_text().replace("\n0.27 ", "\n300 "), "ozone.txt"
    )
    with pytest.warns(UserWarning) as told:
        geo.correct_files(ozone, stack, folder / "out")
    messages = [str(w.message) for w in told]
    assert any("300 Dobson units" in m for m in messages)
    assert any(m.startswith("1 pixel of band 3") for m in messages)

    seven = write_parameters(
        folder, parameters.read_text().replace("1              correction option", "7"), "seven.txt"
    )
    with pytest.warns(UserWarning, match="Invalid Option"):
        written = geo.correct_files(seven, stack, folder / "seven")
    assert written == [folder / f"seven{TOA_SUFFIX}.tif"]


def test_the_main_thread_runs_on_while_a_conversion_runs(scene):
    folder, parameters, dn = scene
    big = 1500
    parameters = write_parameters(folder, with_size(EXAMPLE_PARAMETERS, big, big), "big.txt")
    stack = write_raster(folder / "big.tif", dn_scene(big, big))
    ticks = []
    worker = threading.Thread(target=geo.correct_files, args=(parameters, stack, folder / "big"))
    worker.start()
    while worker.is_alive():
        ticks.append(1)
        worker.join(0.01)
    assert len(ticks) > 5, "the GIL is released while GDAL works"


def test_without_the_gdal_part_the_import_says_what_is_missing():
    code = "import sys; sys.modules['talvex._geo'] = None\nimport talvex.geo"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode != 0 and "ImportError" in done.stderr
    assert "TALVEX_BUILD_GEO=OFF" in done.stderr and "talvex-geo program" in done.stderr
